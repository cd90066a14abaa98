// The handler tests run in one application object, as the program does, over the test
// engine configuration (tests/main/data/engine.ini) and the scripted utility library.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Application.h"
#include "DBTables.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("REKASTO_ENGINE_CONFIG", HANDLERS_ENGINE_CONFIG, 1);
  ::testing::InitGoogleTest(&argc, argv);
  TApplication app(argc, argv);
  app.SetTitle(kApplicationTitle);
  const int result = RUN_ALL_TESTS();
  EngineShutdown();
  return result;
}
