// The application's default handler, its text rules, the fatal start-up path and the
// dialogs seam's filter translation.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include <QCursor>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <stdexcept>
#include <string>

#include "Application.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "FileNames.h"
#include "MainForm.h"

const std::string& ShellScratchFolder();
const std::string& ShellEngineConfig();

namespace {

namespace deep::inner {
struct EOddError : std::runtime_error {
  EOddError() : std::runtime_error("dziwny błąd") {}
};
}  // namespace deep::inner

// Installs a scripted seam for one test and puts the previous one back.
struct ScopedScriptedDialogs {
  ScriptedDialogs dialogs;
  Dialogs* previous;
  ScopedScriptedDialogs() : previous(Dialogs::Install(&dialogs)) {}
  ~ScopedScriptedDialogs() { Dialogs::Install(previous); }
};

TEST(DefaultHandlerText, AppendsAPeriodOnlyAfterCharactersAbove0x2E) {
  struct Case {
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      {"Table is busy", "Table is busy."},  // letter
      {"Error 12", "Error 12."},            // digit
      {"Brak pliku:", "Brak pliku:."},      // colon 0x3A
      {"Czy na pewno?", "Czy na pewno?."},  // question mark
      {"Gotowe.", "Gotowe."},               // period itself
      {"Uwaga!", "Uwaga!"},                 // 0x21
      {"a, b,", "a, b,"},                   // comma 0x2C
      {"x -", "x -"},                       // minus 0x2D
      {"(nic)", "(nic)"},                   // 0x29
      {"koniec ", "koniec "},               // blank
      {"\"cytat\"", "\"cytat\""},           // quote
      {"/", "/."},                          // slash 0x2F: first code above
      {"Błąd zapisu tabeli", "Błąd zapisu tabeli."},
      {"Nie można otworzyć pliku źródłowego ą", "Nie można otworzyć pliku źródłowego ą."},
      {"zażółć", "zażółć."},
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DefaultHandlerText(QString::fromUtf8(c.text)), QString::fromUtf8(c.shown)) << c.text;
}

TEST(FatalText, FollowsTheFixedFormatAndItsOwnPeriodRule) {
  EXPECT_EQ(FormatFatalText("EDBEngineError", "qel-db-rekasto", 0x4A2B0, "Engine failed"),
            "Exception EDBEngineError in module qel-db-rekasto at 0004A2B0.\r\nEngine failed.\r\n");
  // A message ending in "." gets nothing; one ending in "!" gets a period, unlike the
  // default handler's rule.
  EXPECT_EQ(FormatFatalText("E", "m", 0, "Done."),
            "Exception E in module m at 00000000.\r\nDone.\r\n");
  EXPECT_EQ(FormatFatalText("E", "m", 0, "Stop!"),
            "Exception E in module m at 00000000.\r\nStop!.\r\n");
  EXPECT_EQ(FormatFatalText("E", "m", 0, ""), "Exception E in module m at 00000000.\r\n\r\n");
  EXPECT_EQ(FormatFatalText("E", "m", 0xABCDEF123ull, "x"),
            "Exception E in module m at ABCDEF123.\r\nx.\r\n");
}

TEST(ExceptionTypeName, IsTheDynamicTypeWithoutNamespaces) {
  try {
    throw EDBEngineError(DBIERR_CONFIG);
  } catch (...) {
    EXPECT_EQ(CurrentExceptionTypeName(), "EDBEngineError");
  }
  try {
    throw deep::inner::EOddError();
  } catch (const std::exception&) {
    EXPECT_EQ(CurrentExceptionTypeName(), "EOddError");
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(CurrentExceptionTypeName(), "int");
  }
  EXPECT_EQ(CurrentExceptionTypeName(), "Exception");  // nothing being handled
}

TEST(DefaultHandler, ShowsOneErrorBoxWithTheTitleAndSkipsSilentAborts) {
  ScopedScriptedDialogs scripted;
  TApplication* app = TApplication::Instance();
  ASSERT_NE(app, nullptr);
  app->HandleException(std::make_exception_ptr(std::runtime_error("Nie można otworzyć tabeli")));
  app->HandleException(std::make_exception_ptr(EAbort()));
  app->HandleException(std::make_exception_ptr(std::runtime_error("")));
  ASSERT_EQ(scripted.dialogs.Boxes().size(), 2u);
  EXPECT_EQ(scripted.dialogs.Boxes()[0].caption, "Qel DB Rekasto");
  EXPECT_EQ(scripted.dialogs.Boxes()[0].text, QString::fromUtf8("Nie można otworzyć tabeli."));
  EXPECT_EQ(scripted.dialogs.Boxes()[0].icon, TMsgIcon::Error);
  EXPECT_FALSE(scripted.dialogs.Boxes()[0].fatal);
  EXPECT_EQ(scripted.dialogs.Boxes()[1].text, "");
}

// An object whose event handler fails, as a control's handler does.
class TFailingObject : public QObject {
 public:
  int handled = 0;
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) {
      ++handled;
      throw EDBEngineError(DBIERR_NOSUCHTABLE);
    }
    return QObject::event(e);
  }
};

TEST(DefaultHandler, CatchesWhatEscapesAnEventAndTheLoopGoesOn) {
  ScopedScriptedDialogs scripted;
  TFailingObject object;
  QEvent first(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&object, &first));
  // Posted events go through the loop's own dispatch.
  QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  EXPECT_EQ(object.handled, 3);
  ASSERT_EQ(scripted.dialogs.Boxes().size(), 3u);
  for (const auto& box : scripted.dialogs.Boxes()) {
    EXPECT_EQ(box.caption, "Qel DB Rekasto");
    EXPECT_EQ(box.icon, TMsgIcon::Error);
    EXPECT_FALSE(box.text.isEmpty());
    EXPECT_TRUE(box.text.endsWith('.'));
  }
}

TEST(FatalStartUp, MalformedEngineConfigurationShowsTheBoxAndGivesExitCode1) {
  ScopedScriptedDialogs scripted;
  const std::string broken = ShellScratchFolder() + "/broken.ini";
  {
    QFile file(QString::fromStdString(broken));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[BROKEN\nTYPE=STANDARD\n");
  }
  // The engine reads its configuration when it starts; earlier tests may have left it running.
  EngineShutdown();
  setenv("REKASTO_ENGINE_CONFIG", broken.c_str(), 1);
  const int exitCode = RunApplication(*TApplication::Instance());
  setenv("REKASTO_ENGINE_CONFIG", ShellEngineConfig().c_str(), 1);

  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(MainForm, nullptr);
  ASSERT_EQ(scripted.dialogs.Boxes().size(), 1u);
  const auto& box = scripted.dialogs.Boxes()[0];
  EXPECT_TRUE(box.fatal);
  EXPECT_EQ(box.caption, "Application Error");
  const QString prefix =
      QStringLiteral("Exception EDBEngineError in module %1 at ").arg(ModuleFileName());
  EXPECT_TRUE(box.text.startsWith(prefix)) << box.text.toStdString();
  EXPECT_TRUE(box.text.endsWith("\r\n"));
  EXPECT_TRUE(box.text.contains("broken.ini"))
      << "the engine's text names the file: " << box.text.toStdString();
  // The address is the same on every run: an offset into the program file.
  const QString address = QStringLiteral("%1")
                              .arg(static_cast<qulonglong>(FatalCodeAddress()), 8, 16, QChar('0'))
                              .toUpper();
  EXPECT_TRUE(box.text.contains(" at " + address + ".\r\n"));
  // The engine could not start: the window never came up, and a later start works.
  EXPECT_EQ(ModuleFileName(), "test_shell");
}

TEST(OpenDialogFilter, ShowsOneEntryWithThePatternAsStored) {
  // The dialog matches it in any letter case (QtDialogsFile below).
  const QStringList filters = QtNameFilters("DB Files|*.db");
  ASSERT_EQ(filters.size(), 1);
  EXPECT_EQ(filters[0], "DB Files (*.db)");
  EXPECT_EQ(QtNameFilters("A|*.x;*.y|B|*.1"), QStringList({"A (*.x *.y)", "B (*.1)"}));
  const TOpenDialogOptions stored;
  EXPECT_EQ(stored.Filter, "DB Files|*.db");
  EXPECT_EQ(stored.DefaultExt, "*.db");
  EXPECT_TRUE(stored.ReadOnly && stored.HideReadOnly && stored.OldStyleDialog);
}

// How glibc's converter reads one byte of code page 1250; U+FFFD where it has no character.
QString Cp1250ByIconv(char byte) {
  iconv_t cd = iconv_open("UTF-8", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) return QStringLiteral("(no CP1250 converter)");
  char out[8];
  char* in = &byte;
  char* to = out;
  size_t inLeft = 1, outLeft = sizeof out;
  const bool ok = iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  return ok ? QString::fromUtf8(out, to - out) : QString(QChar::ReplacementCharacter);
}

TEST(DisplayText, KeepsUtf8AndShowsEveryOtherByteByCodePage1250) {
  const auto shown = [](std::string_view bytes) { return DisplayText(bytes).toStdString(); };
  EXPECT_EQ(shown("Żółw.DB"), "Żółw.DB");
  EXPECT_EQ(shown("/srv/Sp\xF3\xB3ka/Zam\xF3wienia.DB"), "/srv/Spółka/Zamówienia.DB");
  // Shaped like UTF-8 but not UTF-8: overlong, a surrogate, beyond U+10FFFF, cut short.
  EXPECT_EQ(shown("\xC0\xAF"), "ŔŻ");
  EXPECT_EQ(shown("\xED\xA0\x80"), "í\u00A0€");
  EXPECT_EQ(shown("\xF4\x90\x80\x80"), "ô\uFFFD€€");
  EXPECT_EQ(shown("\xC5\x82\xC5"), "łĹ");
  // Every byte that is not UTF-8 on its own, alone and after a letter that is.
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char byte = static_cast<char>(b);
    const QString expected = Cp1250ByIconv(byte);
    EXPECT_EQ(DisplayText(std::string(1, byte)), expected) << "byte " << b;
    EXPECT_EQ(DisplayText("\xC5\x82" + std::string(1, byte)), QStringLiteral("ł") + expected)
        << "byte " << b;
  }
}

TEST(QtDialogsCursor, HourglassAndRestoreStayBalanced) {
  QtDialogs dialogs;
  dialogs.SetCursor(TCursorKind::HourGlass);
  dialogs.SetCursor(TCursorKind::HourGlass);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  dialogs.SetCursor(TCursorKind::Default);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  dialogs.SetCursor(TCursorKind::Default);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
