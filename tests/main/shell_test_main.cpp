// The shell tests run in one application object, as the program does, over an engine
// configuration of their own: one alias on an empty folder (ShellEngineConfig()).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <string>

#include "Application.h"
#include "DBTables.h"

namespace {
std::string gConfig;
std::string gFolder;
}  // namespace

// Shared with the other shell test files, which declare them.
const std::string& ShellEngineConfig() {
  return gConfig;
}
const std::string& ShellScratchFolder() {
  return gFolder;
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char pattern[] = "/tmp/rekasto-shell-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  gFolder = pattern;
  QDir().mkpath(QString::fromStdString(gFolder + "/alias"));
  gConfig = gFolder + "/engine.ini";
  QFile config(QString::fromStdString(gConfig));
  if (!config.open(QIODevice::WriteOnly)) return 2;
  config.write("[SHELL]\nTYPE=STANDARD\nPATH=alias\n");
  config.close();
  setenv("REKASTO_ENGINE_CONFIG", gConfig.c_str(), 1);
  // Qt's file dialog keeps its state (column widths, history) in the user's settings: the
  // tests start from none and leave the user's alone.
  setenv("XDG_CONFIG_HOME", (gFolder + "/config").c_str(), 1);

  ::testing::InitGoogleTest(&argc, argv);
  TApplication app(argc, argv);
  app.SetTitle(kApplicationTitle);
  const int result = RUN_ALL_TESTS();
  EngineShutdown();
  QDir(QString::fromStdString(gFolder)).removeRecursively();
  return result;
}
