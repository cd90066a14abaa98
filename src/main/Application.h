// TApplication: the application object. It keeps the application title, catches every
// exception that escapes the handling of an event (the default handler shows it and the
// loop goes on), and runs the start-up and shutdown sequence of the program.
#pragma once

#include <QApplication>
#include <QFont>
#include <QString>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

class TMainForm;

// The application title: taskbar entry and caption of the default handler's box.
inline const QString kApplicationTitle = QStringLiteral("Qel DB Rekasto");

// The silent kind of error: the default handler shows nothing for it.
class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
};

// The default handler's text rule: a "." is appended when the text is not empty and the code
// of its last character is above that of "." (0x2E); every character from 0x80 up counts
// as above, so a text ending in a Polish letter gets its period too.
QString DefaultHandlerText(const QString& message);

// The fatal start-up box's text rule: "." when the message is not empty and does not end in
// "." (a different rule from the default handler's).
QString FatalMessageSuffix(const QString& message);

// "Exception %s in module %s at %p.\r\n%s%s\r\n": the type name, the program file name, the
// code address as eight upper-case hex digits (at least), the message and its suffix.
QString FormatFatalText(const QString& typeName, const QString& moduleName, uintptr_t address,
                        const QString& message);

// The name of the exception's dynamic type without namespaces ("EDBEngineError"), for the
// exception currently being handled (call inside a catch block). "Exception" when unknown.
QString CurrentExceptionTypeName();
// The message of an exception pointer: what() as UTF-8, or a fixed text for a non-standard one.
QString ExceptionMessage(const std::exception_ptr& error);
// True when error is of the silent abort kind.
bool IsSilentAbort(const std::exception_ptr& error);

// The code address shown in the fatal box: the offset, inside the program file, of the
// routine that creates the main window (CreateMainForm). It is the same on every run, so a
// report can be matched with a build, and it never shows where the program was loaded.
uintptr_t FatalCodeAddress();
// The program file's name without its directory.
QString ModuleFileName();

// The fonts the window is laid out in: "MS Sans Serif" and "Tahoma" from the Windows-API
// font package when installed (/usr/share/wine/fonts), else the closest sans face.
// Idempotent; needs a QGuiApplication.
void RegisterClassicFonts();
// A font by face and pixel height (positive), with the classic face's fallback.
QFont ClassicFont(const QString& family, int pixelHeight, bool bold = false);
// The density the window is drawn at, in pixels per inch: Qt's logical density of the
// primary screen times its device pixel ratio (96 when there is no screen).
double ScreenDensity();
// The face that stands in for the bitmap "MS Sans Serif" where the density is not 96: its
// strikes are drawn for 96 only and come out letter-spaced when scaled.
QString ScalableWindowFace();
// The largest pixel size, at most pixelHeight, at which `face` keeps every caption of the
// window within the width laid out for the bitmap face.
int ScalableFacePixelSize(const QString& face, int pixelHeight);
// The face ClassicFont uses for `family` at `density`.
QString ClassicFace(const QString& family, double density);

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  const QString& Title() const { return title_; }
  void SetTitle(const QString& title);

  // Every exception that escapes the handling of one event goes to HandleException and the
  // event counts as not handled; the loop then goes on.
  bool notify(QObject* receiver, QEvent* event) override;

  // The default handler: nothing for EAbort; else a box with the text after
  // DefaultHandlerText, the title as caption, the error icon and one OK button.
  void HandleException(const std::exception_ptr& error);

  // The running application, or null (tests may run without one).
  static TApplication* Instance();

  // Whether Qt's own Polish texts were found and installed (dialog, buttons, menus).
  bool QtTranslated() const { return qtTranslated_; }

 private:
  QString title_;
  bool qtTranslated_ = false;
};

// The default handler for code that has no TApplication at hand (a plain QApplication in a
// test): the same box, with kApplicationTitle as caption.
void ShowException(const std::exception_ptr& error);
// Shows the exception being handled (call inside a catch block).
void HandleCurrentException();

// Allocates the window, sets MainForm to it, then constructs it; on an exception MainForm is
// cleared, the memory freed and the exception passed on.
std::unique_ptr<TMainForm> CreateMainForm();

// Start-up after the title is set: creates the window (an exception there shows the
// "Application Error" box and gives 1), shows it, runs the loop, destroys the window; 0.
int RunApplication(TApplication& app);
