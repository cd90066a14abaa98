#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // ctest sets the platform for the runs; test discovery at build time runs without it.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
