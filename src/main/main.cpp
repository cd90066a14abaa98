// Program entry: no command line beyond --version and no environment of its own; the exit
// code is 0 after a normal end, 1 after a fatal start-up error.
#include <QIcon>
#include <QPixmap>
#include <cstdio>
#include <cstring>

#include "AboutImage.h"
#include "Application.h"
#include "DBTables.h"
#include "ServerDensity.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so it works without a display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("qel-db-rekasto %s\n", REKASTO_VERSION);
    return 0;
  }
  int exitCode = 0;
  {
    // Qt reads the density it is given as it starts.
    FollowServerDensity();
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
