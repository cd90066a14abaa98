#include "Application.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTranslator>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "Dialogs.h"
#include "FileNames.h"
#include "Graphics.h"
#include "MainForm.h"

namespace {

TApplication* gInstance = nullptr;

QString StripNamespaces(const QString& name) {
  // Template arguments may hold "::" too; only the part before them is the type's own path.
  const int templateStart = name.indexOf(QLatin1Char('<'));
  const QString head = templateStart < 0 ? name : name.left(templateStart);
  const int colons = head.lastIndexOf(QStringLiteral("::"));
  return colons < 0 ? name : name.mid(colons + 2);
}

QString Demangle(const char* mangled) {
  if (mangled == nullptr) return QString();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  QString result = QString::fromUtf8(status == 0 && demangled ? demangled : mangled);
  std::free(demangled);
  return result;
}

}  // namespace

QString DefaultHandlerText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > 0x2E) return message + QLatin1Char('.');
  return message;
}

QString FatalMessageSuffix(const QString& message) {
  return !message.isEmpty() && !message.endsWith(QLatin1Char('.')) ? QStringLiteral(".")
                                                                   : QString();
}

QString FormatFatalText(const QString& typeName, const QString& moduleName, uintptr_t address,
                        const QString& message) {
  const QString hex =
      QStringLiteral("%1").arg(static_cast<qulonglong>(address), 8, 16, QLatin1Char('0')).toUpper();
  return QStringLiteral("Exception %1 in module %2 at %3.\r\n%4%5\r\n")
      .arg(typeName, moduleName, hex, message, FatalMessageSuffix(message));
}

QString CurrentExceptionTypeName() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) return QStringLiteral("Exception");
  const QString name = StripNamespaces(Demangle(type->name()));
  return name.isEmpty() ? QStringLiteral("Exception") : name;
}

QString ExceptionMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    // Engine errors name files by their bytes.
    return DisplayText(e.what());
  } catch (...) {
    return QStringLiteral("Nieznany błąd (wyjątek spoza biblioteki standardowej)");
  }
}

bool IsSilentAbort(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return true;
  } catch (...) {
    return false;
  }
}

uintptr_t FatalCodeAddress() {
  const auto routine = reinterpret_cast<uintptr_t>(&CreateMainForm);
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(routine), &info) != 0 && info.dli_fbase != nullptr)
    return routine - reinterpret_cast<uintptr_t>(info.dli_fbase);
  return routine;
}

QString ModuleFileName() {
  QString path;
  if (QCoreApplication::instance() != nullptr) path = QCoreApplication::applicationFilePath();
  if (path.isEmpty()) path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
  return QFileInfo(path).fileName();
}

void RegisterClassicFonts() {
  static bool done = false;
  if (done || QCoreApplication::instance() == nullptr) return;
  done = true;
  // The Windows-API font package ships both faces the window was designed with, but does not
  // register them with fontconfig; load them for this process only. Its "Tahoma Bold"
  // (tahomabd.ttf) is left out: its outlines have the regular strokes, only spaced wider, so
  // bold text came out regular, letter-spaced at high densities. Without it a bold Tahoma is
  // the regular face emboldened by the rasteriser, strokes and spacing alike.
  static const char* const kFiles[] = {"ms_sans_serif.ttf", "tahoma.ttf"};
  for (const char* file : kFiles) {
    const QString path = QStringLiteral("/usr/share/wine/fonts/") + QLatin1String(file);
    if (QFileInfo::exists(path)) QFontDatabase::addApplicationFont(path);
  }
  // Without the package: the closest metric-alike faces usually present.
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                             {QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"),
                              QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                             {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Verdana"),
                              QStringLiteral("DejaVu Sans"), QStringLiteral("Nimbus Sans")});
}

double ScreenDensity() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 96.0;
  return screen->logicalDotsPerInch() * screen->devicePixelRatio();
}

QString ScalableWindowFace() {
  static const char* const kFaces[] = {"Nimbus Sans", "Liberation Sans", "Arial", "DejaVu Sans"};
  const QStringList installed = QFontDatabase::families();
  for (const char* face : kFaces) {
    if (installed.contains(QLatin1String(face), Qt::CaseInsensitive)) return QLatin1String(face);
  }
  return QStringLiteral("Sans Serif");
}

int ScalableFacePixelSize(const QString& face, int pixelHeight) {
  // Captions of the window with the widths they were laid out at (the bitmap face, 11
  // pixels): the stand-in face must keep each of them within its label.
  static const struct {
    const char* text;
    int width;
  } kCaptions[] = {{"Alias:", 25},         {"Tabela:", 36},
                   {"lub:", 17},           {"Nagłówek:", 53},
                   {"Indeksy:", 40},       {"Dane:", 29},
                   {"Postęp:", 36},        {"Fields:", 30},
                   {"Record Size:", 61},   {"Indexes:", 40},
                   {"Validities:", 44},    {"References:", 58},
                   {"Aux Passwords:", 75}, {"Restructure Version:", 96},
                   {"Code Page:", 56},     {"Block Size:", 53},
                   {"Table Level:", 59}};
  for (int size = pixelHeight; size > pixelHeight / 2; --size) {
    QFont font(face);
    font.setPixelSize(size);
    const QFontMetricsF metrics(font);
    bool fits = true;
    for (const auto& caption : kCaptions) {
      const double allowed = caption.width * pixelHeight / 11.0;
      if (metrics.horizontalAdvance(QString::fromUtf8(caption.text)) > allowed) {
        fits = false;
        break;
      }
    }
    if (fits) return size;
  }
  return pixelHeight / 2 + 1;
}

QString ClassicFace(const QString& family, double density) {
  // Only the bitmap face needs a stand-in; Tahoma is an outline face.
  if (family == QLatin1String("MS Sans Serif") && std::lround(density) != 96)
    return ScalableWindowFace();
  return family;
}

QFont ClassicFont(const QString& family, int pixelHeight, bool bold) {
  RegisterClassicFonts();
  const QString face = ClassicFace(family, ScreenDensity());
  QFont font(face);
  // The stand-in face is wider than the bitmap one: it is taken as large as the window's
  // captions allow, so none of them is cut.
  font.setPixelSize(face == family ? pixelHeight : ScalableFacePixelSize(face, pixelHeight));
  font.setBold(bold);
  font.setStyleStrategy(QFont::PreferMatch);
  return font;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  gInstance = this;
  // Closing the main window ends the loop (ExitBtn, the close box, Alt+F4 alike).
  setQuitOnLastWindowClosed(true);
  RegisterClassicFonts();
  // The program speaks Polish, so Qt's own texts must too: the file dialog, the buttons of
  // the boxes, the log's context menu. Debian ships them in qt6-translations-l10n.
  QLocale::setDefault(QLocale(QLocale::Polish, QLocale::Poland));
  auto* translator = new QTranslator(this);
  if (translator->load(QLocale(QLocale::Polish, QLocale::Poland), QStringLiteral("qtbase"),
                       QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    qtTranslated_ = installTranslator(translator);
  } else {
    qWarning(
        "Qt's Polish translations (qtbase_pl.qm) were not found; install "
        "qt6-translations-l10n");
  }
  // The window is laid out for the classic desktop's metrics and colours; the classic style
  // keeps controls at their stored sizes on every desktop theme.
  if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) setStyle(classic);
  QPalette palette = QApplication::palette();
  palette.setColor(QPalette::Window, TColorToQColor(clBtnFace));
  palette.setColor(QPalette::Button, TColorToQColor(clBtnFace));
  palette.setColor(QPalette::Base, TColorToQColor(clWindow));
  palette.setColor(QPalette::WindowText, TColorToQColor(clWindowText));
  palette.setColor(QPalette::Text, TColorToQColor(clWindowText));
  palette.setColor(QPalette::ButtonText, TColorToQColor(0x80000012));
  palette.setColor(QPalette::Highlight, TColorToQColor(0x8000000D));
  palette.setColor(QPalette::HighlightedText, TColorToQColor(0x8000000E));
  palette.setColor(QPalette::Light, TColorToQColor(clBtnHighlight));
  palette.setColor(QPalette::Midlight, TColorToQColor(0x80000016));
  palette.setColor(QPalette::Mid, TColorToQColor(clBtnShadow));
  palette.setColor(QPalette::Dark, TColorToQColor(clBtnShadow));
  palette.setColor(QPalette::Shadow, TColorToQColor(0x80000015));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, TColorToQColor(0x80000011));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, TColorToQColor(0x80000011));
  palette.setColor(QPalette::Disabled, QPalette::Text, TColorToQColor(0x80000011));
  setPalette(palette);
}

TApplication::~TApplication() {
  if (gInstance == this) gInstance = nullptr;
}

void TApplication::SetTitle(const QString& title) {
  // Kept here rather than as Qt's display name, which Qt would append to every other
  // window's caption ("Application Error — ...").
  title_ = title;
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

void TApplication::HandleException(const std::exception_ptr& error) {
  if (!error || IsSilentAbort(error)) return;
  const QString caption = title_.isEmpty() ? kApplicationTitle : title_;
  Dialogs::Current().MessageBox(caption, DefaultHandlerText(ExceptionMessage(error)),
                                TMsgIcon::Error);
}

TApplication* TApplication::Instance() {
  return gInstance;
}

void ShowException(const std::exception_ptr& error) {
  if (TApplication* app = TApplication::Instance()) {
    app->HandleException(error);
    return;
  }
  if (!error || IsSilentAbort(error)) return;
  Dialogs::Current().MessageBox(kApplicationTitle, DefaultHandlerText(ExceptionMessage(error)),
                                TMsgIcon::Error);
}

void HandleCurrentException() {
  ShowException(std::current_exception());
}

std::unique_ptr<TMainForm> CreateMainForm() {
  // MainForm must point at the object before its construction runs: the progress routine
  // and the handlers reach the window through it while the window is being created.
  void* memory = ::operator new(sizeof(TMainForm));
  MainForm = static_cast<TMainForm*>(memory);
  try {
    return std::unique_ptr<TMainForm>(new (memory) TMainForm());
  } catch (...) {
    MainForm = nullptr;
    ::operator delete(memory);
    throw;
  }
}

int RunApplication(TApplication& app) {
  std::unique_ptr<TMainForm> form;
  try {
    form = CreateMainForm();
  } catch (...) {
    const QString typeName = CurrentExceptionTypeName();
    const QString text = FormatFatalText(typeName, ModuleFileName(), FatalCodeAddress(),
                                         ExceptionMessage(std::current_exception()));
    Dialogs::Current().FatalBox(QStringLiteral("Application Error"), text);
    return 1;
  }
  form->show();
  app.exec();
  // A quit request that arrived after the one that ended the loop must not end the loop of
  // a box that the window's destruction may still show.
  QCoreApplication::removePostedEvents(&app, QEvent::Quit);
  // Destroying the window hides it, runs FormDestroy, then frees controls and components.
  form.reset();
  return 0;
}
