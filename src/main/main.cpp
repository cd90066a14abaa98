// Program entry: no command line and no environment of its own; the exit code is 0 after a
// normal end, 1 after a fatal start-up error.
#include <QIcon>
#include <QPixmap>

#include "AboutImage.h"
#include "Application.h"
#include "DBTables.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  {
    TApplication app(argc, argv);
    app.SetTitle(kApplicationTitle);
    QPixmap icon;
    if (icon.loadFromData(IconPictureData(), static_cast<uint>(IconPictureSize()), "PNG"))
      QApplication::setWindowIcon(icon);
    exitCode = RunApplication(app);
  }
  // The window and Session1 are gone; the engine's default session closes last.
  EngineShutdown();
  return exitCode;
}
