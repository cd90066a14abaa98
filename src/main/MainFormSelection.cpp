// Choosing a table: the alias list, the table list, the file dialog, the location line, the
// enabled states of the three action buttons, and the properties page.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <cstring>
#include <string>
#include <vector>

#include "ALProgressBar.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "FileNames.h"
#include "MainForm.h"

namespace {

const QString kSeparatorLine =
    QStringLiteral("*******************************************************");

// The box for a name the file dialog could not hand over.
QString UndecodableNameText(const QString& shown) {
  return QStringLiteral("Okno wyboru pliku nie przekazało prawdziwej nazwy pliku:\n\"") + shown +
         QStringLiteral("\"\nWybierz tę tabelę z listy aliasu.");
}

// A fixed-width text field of an engine record: up to its first NUL, at most its width.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

void TMainForm::FillAliasList() {
  // Filling a Qt combo box selects its first entry; the list starts with none selected and
  // must not run AliasComboChange by itself.
  const QSignalBlocker blocker(AliasCombo);
  AliasCombo->clear();
  hDBICur cursor = 0;
  Check(DbiOpenDatabaseList(&cursor));
  DBDesc desc{};
  // Any nonzero fetch result ends the walk, the end of the list and an error alike.
  while (DbiGetNextRecord(cursor, 0, &desc, nullptr) == DBIERR_NONE) {
    if (FieldText(desc.szDbType) == "STANDARD") {
      AddNameItem(*AliasCombo, QByteArray::fromStdString(FieldText(desc.szName)));
    }
  }
  AliasCombo->setCurrentIndex(-1);
  Check(DbiCloseCursor(&cursor));
}

void TMainForm::AliasComboChange(QObject* Sender) {
  const QByteArray alias = NameItemBytes(*AliasCombo, AliasCombo->currentIndex());
  std::vector<std::string> names;
  {
    // The listing clears the table list before it asks the engine, so a failed listing
    // leaves it empty; nothing else changes before the exception leaves.
    const QSignalBlocker blocker(TableCombo);
    TableCombo->clear();
    Session1->GetTableNames(alias.toStdString(), "*.*", true, false, names);
    for (const std::string& name : names) AddNameItem(*TableCombo, QByteArray::fromStdString(name));
    TableCombo->setCurrentIndex(-1);
  }
  ResetProgressBars();
  ResetTableProps();
  ClearTableLocation();
  LogAdd(kSeparatorLine);
  LogAdd(QStringLiteral("Ilość aliasów w BDE: ") + QString::number(AliasCombo->count()));
  LogAdd(QStringLiteral("Wybrany alias: ") + AliasCombo->currentText());
  LogAdd(QStringLiteral("Ilość tabel wybranego aliasu: ") + QString::number(TableCombo->count()));
  const bool anyTable = TableCombo->count() > 0;
  SetActionEnabled(VerifyBtn, anyTable);
  SetActionEnabled(RebuildBtn, anyTable);
  SetActionEnabled(HMSBitBtn, anyTable);
}

void TMainForm::ByDirectBtnClick(QObject* Sender) {
  QString fileName;
  if (!Dialogs::Current().OpenFile(*OpenDialog1, fileName)) return;
  // The dialog answers in text. Its own listing leaves out names it cannot decode, so a
  // name it gives back encodes to the bytes on disk; one that holds a stand-in character and
  // names nothing there lost its bytes on the way: taking it would open another file, or
  // none. The alias list still carries such names as they are.
  const QByteArray location = QFile::encodeName(fileName);
  if (!NameExists(location) && fileName.contains(QChar::ReplacementCharacter)) {
    Dialogs::Current().MessageBox(QStringLiteral("Error"), UndecodableNameText(fileName),
                                  TMsgIcon::Error);
    return;
  }
  SetTableLocation(location);
  {
    const QSignalBlocker blocker(AliasCombo);
    AliasCombo->setCurrentIndex(-1);
  }
  {
    const QSignalBlocker blocker(TableCombo);
    TableCombo->clear();
  }
  SetActionEnabled(HMSBitBtn, false);
  ResetProgressBars();
  ShowTableProps();
  LogAdd(kSeparatorLine);
  LogAdd(QStringLiteral("Wybrano tabelę wg katalogu: ") + TableLocEdit->text());
}

void TMainForm::TableComboChange(QObject* Sender) {
  SelectAliasTable();
  LogAdd(QStringLiteral("Wybrano tabelę: ") + TableCombo->currentText());
  const bool anyTable = TableCombo->count() > 0;
  SetActionEnabled(VerifyBtn, anyTable);
  SetActionEnabled(RebuildBtn, anyTable);
  SetActionEnabled(HMSBitBtn, false);
}

void TMainForm::SelectAliasTable() {
  const QByteArray alias = NameItemBytes(*AliasCombo, AliasCombo->currentIndex());
  const QByteArray table = NameItemBytes(*TableCombo, TableCombo->currentIndex());
  DBDesc desc{};
  Check(DbiGetDatabaseDesc(alias.constData(), &desc));
  // Directory, the platform's separator, table name: nothing added or removed, even when
  // the directory already ends in a separator.
  SetTableLocation(QByteArray::fromStdString(FieldText(desc.szPhyName)) +
                   QDir::separator().toLatin1() + table);
  ResetProgressBars();
  ShowTableProps();
}

void TMainForm::SetTableLocation(const QByteArray& Location) {
  TableLocation = Location;
  TableLocEdit->setText(DisplayText(Location));
  SetActionEnabled(VerifyBtn, true);
  SetActionEnabled(RebuildBtn, true);
}

void TMainForm::ClearTableLocation() {
  TableLocation.clear();
  TableLocEdit->clear();
  SetActionEnabled(VerifyBtn, false);
  SetActionEnabled(RebuildBtn, false);
}

void TMainForm::SetActionEnabled(QPushButton* button, bool enabled) {
  if (!enabled && button == focusWidget()) Memo1->setFocus(Qt::OtherFocusReason);
  button->setEnabled(enabled);
}

void TMainForm::ResetProgressBars() {
  ALProgressBar1->SetPosition(0);
  ALProgressBar2->SetPosition(0);
  ALProgressBar3->SetPosition(0);
  ALProgressBar4->SetPosition(0);
}

namespace {

// Value labels keep their left edge and grow to the right with their text.
void SetValueLabel(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

}  // namespace

void TMainForm::ResetTableProps() {
  const QString zero = QStringLiteral("0");
  for (QLabel* label : {FieldsLB, RecSizeLB, IndexLB, ValidLB, RefLB, RestructLB, AuxPassLB,
                        CodePageLB, BlockSizeLB, TabLvlLB}) {
    SetValueLabel(label, zero);
  }
}

void TMainForm::ShowTableProps() {
  const std::string location = TableLocation.toStdString();
  TBDEUtil& util = RequireBDEUtil(*this);
  // A table whose properties cannot be read shows "0" everywhere, silently: the numbers of
  // the table chosen before would be taken for this one's.
  if (!util.GetTableProps(location)) {
    ResetTableProps();
    return;
  }
  struct Shown {
    QLabel* label;
    unsigned offset;
  };
  const Shown shown[] = {{FieldsLB, 295},    {RecSizeLB, 299},  {IndexLB, 303},   {ValidLB, 305},
                         {RefLB, 307},       {RestructLB, 335}, {AuxPassLB, 345}, {CodePageLB, 347},
                         {BlockSizeLB, 387}, {TabLvlLB, 351}};
  for (const Shown& s : shown) SetValueLabel(s.label, QString::number(util.PropWord(s.offset)));
}
