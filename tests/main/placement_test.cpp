// The window on screens of several densities: it opens wholly on its screen (at its stored
// place when that fits), and away from 96 pixels per inch it uses the scalable stand-in face
// at a size that keeps every caption within its label. ctest runs this program once per
// screen of tests/main/data/screens (Qt's offscreen platform reads the screen from there);
// REKASTO_TEST_DENSITY names the density that screen has.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "Application.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "MainForm.h"

namespace {

double ExpectedDensity() {
  const char* density = std::getenv("REKASTO_TEST_DENSITY");
  return density != nullptr ? std::atof(density) : 96.0;
}

TEST(PlaceWithin, KeepsAFittingPlaceAndOtherwiseTakesTheNearestThatFits) {
  const QRect area(0, 0, 1280, 800);
  const QSize frame(443, 504);
  EXPECT_EQ(PlaceWithin(area, QPoint(673, 163), frame), QPoint(673, 163));
  // Too far right and down: moved back just enough.
  EXPECT_EQ(PlaceWithin(QRect(0, 0, 853, 533), QPoint(673, 163), frame), QPoint(410, 29));
  // Off the left and top edges (a screen to the right of another).
  EXPECT_EQ(PlaceWithin(QRect(1280, 0, 1024, 768), QPoint(673, 163), frame), QPoint(1280, 163));
  EXPECT_EQ(PlaceWithin(QRect(0, 100, 1280, 800), QPoint(673, 50), frame), QPoint(673, 100));
  // Taller than the area: its top edge, so the title bar can be reached; the width still fits.
  EXPECT_EQ(PlaceWithin(QRect(0, 0, 640, 400), QPoint(673, 163), frame), QPoint(197, 0));
  EXPECT_EQ(PlaceWithin(QRect(0, 0, 400, 300), QPoint(673, 163), frame), QPoint(0, 0));
  EXPECT_EQ(PlaceWithin(QRect(10, 20, 443, 504), QPoint(673, 163), frame), QPoint(10, 20));
}

class DensityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = Dialogs::Install(&dialogs_);
    form_ = CreateMainForm();
  }
  void TearDown() override {
    form_.reset();
    Dialogs::Install(previous_);
  }
  // Shows the window and waits until its second placement pass has run (a deadline far
  // beyond the pass's delay, for a loaded machine).
  void ShowAndSettle() {
    form_->show();
    ASSERT_TRUE(QTest::qWaitFor([this] { return form_->PlacementSettled(); }, 30000))
        << "the second placement pass did not run";
  }

  ScriptedDialogs dialogs_;
  Dialogs* previous_ = nullptr;
  std::unique_ptr<TMainForm> form_;
};

// How much of the about page the labels' light colour covers, over the dark picture, drawn
// at the screen's own resolution.
long AboutInk(TMainForm& f) {
  const QImage page = f.TabSheet3->grab().toImage();
  long ink = 0;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) ink += std::max(0, qGray(page.pixel(x, y)) - 150);
  return ink;
}

TEST_F(DensityTest, TheAboutLabelsAreDrawnBoldAtThisDensity) {
  TMainForm& f = *form_;
  f.PageControl1->setCurrentIndex(2);
  ShowAndSettle();
  const long bold = AboutInk(f);
  for (QLabel* about : {f.Label11, f.Label12}) {
    QFont font = about->font();
    font.setBold(false);
    about->setFont(font);
  }
  const long regular = AboutInk(f);
  EXPECT_GT(bold * 100, regular * 120) << bold << " against " << regular;
}

TEST_F(DensityTest, TheScreenHasTheDensityThisRunIsFor) {
  EXPECT_NEAR(ScreenDensity(), ExpectedDensity(), 0.5);
}

TEST_F(DensityTest, WindowOpensWhollyOnItsScreen) {
  ShowAndSettle();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect frame = form_->frameGeometry();
  SCOPED_TRACE("screen " + std::to_string(area.width()) + "x" + std::to_string(area.height()) +
               ", frame at " + std::to_string(frame.x()) + "," + std::to_string(frame.y()) +
               " size " + std::to_string(frame.width()) + "x" + std::to_string(frame.height()));
  EXPECT_EQ(form_->size(), QSize(441, 481)) << "sizes stay in the window's own units";
  if (frame.width() > area.width() || frame.height() > area.height()) {
    // A screen too small for the window at this density (screen-144small): the title bar
    // stays on the screen, at its top edge.
    EXPECT_TRUE(area.contains(frame.topLeft()));
    EXPECT_EQ(frame.top(), area.top());
    EXPECT_LE(frame.right(), area.right());
    return;
  }
  EXPECT_TRUE(area.contains(frame));
  // Where the stored place fits, the window keeps it.
  if (area.contains(QRect(QPoint(kStoredLeft, kStoredTop), frame.size())))
    EXPECT_EQ(frame.topLeft(), QPoint(kStoredLeft, kStoredTop));
  else
    EXPECT_EQ(frame.topLeft(), PlaceWithin(area, QPoint(kStoredLeft, kStoredTop), frame.size()));
}

TEST_F(DensityTest, AwayFrom96TheScalableFaceKeepsEveryCaptionWhole) {
  const QString family = QFontInfo(form_->font()).family();
  if (std::lround(ExpectedDensity()) == 96) {
    EXPECT_EQ(form_->font().family(), "MS Sans Serif");
    EXPECT_EQ(form_->font().pixelSize(), 11);
    return;
  }
  EXPECT_EQ(form_->font().family(), ScalableWindowFace());
  EXPECT_EQ(family, ScalableWindowFace()) << "the face is installed and matched";
  EXPECT_LE(form_->font().pixelSize(), 11);
  EXPECT_GE(form_->font().pixelSize(), 8);
  EXPECT_EQ(form_->FieldsLB->font().family(), ScalableWindowFace());
  for (QLabel* label :
       {form_->Label1, form_->Label2, form_->Label3, form_->Label24, form_->Label25, form_->Label26,
        form_->Label27, form_->Label4, form_->Label5, form_->Label6, form_->Label7, form_->Label8,
        form_->Label14, form_->Label15, form_->Label16, form_->Label17, form_->Label18}) {
    const QFontMetricsF metrics(label->font());
    EXPECT_LE(metrics.horizontalAdvance(label->text()), label->width())
        << label->text().toStdString();
  }
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  // An engine configuration of our own: one alias on an empty folder.
  char pattern[] = "/tmp/rekasto-placement-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::string folder = pattern;
  const std::string config = folder + "/engine.ini";
  if (FILE* f = std::fopen(config.c_str(), "w")) {
    std::fprintf(f, "[EMPTY]\nTYPE=STANDARD\nPATH=%s\n", folder.c_str());
    std::fclose(f);
  }
  setenv("REKASTO_ENGINE_CONFIG", config.c_str(), 1);
  int result = 0;
  {
    TApplication app(argc, argv);
    app.SetTitle(kApplicationTitle);
    result = RUN_ALL_TESTS();
  }
  EngineShutdown();
  std::remove(config.c_str());
  rmdir(folder.c_str());
  return result;
}
