#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QImage>
#include <QRect>
#include <functional>
#include <vector>

#include "ALProgressBar.h"

namespace {

using ALProgressBarMath::GradientColor;

// The pixel at (x, y) of the composed picture as an explicit colour 0x00BBGGRR.
TColor PixelAt(const TALProgressBar& bar, int x, int y) {
  const QRgb p = bar.OffscreenImage().pixel(x, y);
  return static_cast<TColor>(qRed(p)) | (static_cast<TColor>(qGreen(p)) << 8) |
         (static_cast<TColor>(qBlue(p)) << 16);
}

// How many pixels of row y, from x0 up to x1 (excluded), have exactly `color`.
int CountInRow(const TALProgressBar& bar, int y, int x0, int x1, TColor color) {
  int n = 0;
  for (int x = x0; x < x1; ++x) n += PixelAt(bar, x, y) == ColorToRGB(color) ? 1 : 0;
  return n;
}

// Smallest rectangle holding every pixel that is not `background`.
QRect InkBounds(const QImage& image, TColor background) {
  const QRgb bg = TColorToQColor(background).rgb();
  QRect bounds;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != bg) bounds |= QRect(x, y, 1, 1);
  return bounds;
}

// A bar whose bar and background are both white and without frame: only the text shows, so
// two such pictures are equal exactly when their texts are.
void MakeTextOnly(TALProgressBar& bar) {
  bar.SetShowBorder(false);
  bar.SetBarColorStyle(cs1Color);
  bar.SetBarColor1(clWhite);
  bar.SetBackgroundColor(clWhite);
}

// A bar showing only solid colour and background, without frame and text.
void MakeSolid(TALProgressBar& bar, int width, int height) {
  bar.resize(width, height);
  bar.SetShowPosText(false);
  bar.SetShowBorder(false);
  bar.SetBarColorStyle(cs1Color);
  bar.SetBarColor1(clRed);
  bar.SetBackgroundColor(clWhite);
}

TEST(ALProgressBarTest, NewControlHasItsDefaults) {
  TALProgressBar bar;
  EXPECT_EQ(bar.width(), 200);
  EXPECT_EQ(bar.height(), 20);
  EXPECT_EQ(bar.focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(bar.BackgroundColor(), clBtnFace);
  EXPECT_TRUE(bar.BarBitmap().isNull());
  EXPECT_EQ(bar.BarColor1(), clGreen);
  EXPECT_EQ(bar.BarColor2(), clYellow);
  EXPECT_EQ(bar.BarColor3(), clRed);
  EXPECT_EQ(bar.BarColorStyle(), cs3Colors);
  EXPECT_EQ(bar.BorderColor1(), clBtnShadow);
  EXPECT_EQ(bar.BorderColor2(), clBtnHighlight);
  EXPECT_EQ(bar.Direction(), pdLeftToRight);
  EXPECT_EQ(bar.Max(), 100);
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_FALSE(bar.Percentage());
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_TRUE(bar.PosTextPrefix().isEmpty());
  EXPECT_TRUE(bar.PosTextSuffix().isEmpty());
  EXPECT_TRUE(bar.ShowBorder());
  EXPECT_TRUE(bar.ShowPosText());
  EXPECT_EQ(bar.FontColor(), clWindowText);
  EXPECT_EQ(bar.PaintCount(), 0);  // the constructor sets members without painting
}

TEST(ALProgressBarTest, DefaultPictureIsSunkenFrameEmptyBarAndCentredZero) {
  TALProgressBar bar;
  bar.SetShowBorder(true);  // any write paints
  ASSERT_EQ(bar.OffscreenImage().size(), QSize(200, 20));
  EXPECT_EQ(PixelAt(bar, 0, 0), ColorToRGB(clBtnShadow));
  EXPECT_EQ(PixelAt(bar, 199, 0), ColorToRGB(clBtnShadow));
  EXPECT_EQ(PixelAt(bar, 0, 19), ColorToRGB(clBtnShadow));
  EXPECT_EQ(PixelAt(bar, 199, 19), ColorToRGB(clBtnHighlight));
  EXPECT_EQ(PixelAt(bar, 100, 0), ColorToRGB(clBtnShadow));
  EXPECT_EQ(PixelAt(bar, 100, 19), ColorToRGB(clBtnHighlight));
  EXPECT_EQ(PixelAt(bar, 0, 10), ColorToRGB(clBtnShadow));
  EXPECT_EQ(PixelAt(bar, 199, 10), ColorToRGB(clBtnHighlight));
  // No bar: the inner area is button face, except the text in the middle.
  EXPECT_EQ(CountInRow(bar, 1, 1, 199, clBtnFace), 198);
  EXPECT_EQ(CountInRow(bar, 18, 1, 199, clBtnFace), 198);
  EXPECT_EQ(CountInRow(bar, 10, 1, 80, clBtnFace), 79);
  EXPECT_EQ(CountInRow(bar, 10, 120, 199, clBtnFace), 79);
  QImage inner = bar.OffscreenImage().copy(1, 1, 198, 18);
  const QRect ink = InkBounds(inner, clBtnFace).translated(1, 1);
  ASSERT_FALSE(ink.isEmpty()) << "no text drawn";
  EXPECT_NEAR(ink.center().x(), 100, 3);
  EXPECT_NEAR(ink.center().y(), 10, 3);
  EXPECT_LT(ink.width(), 20);  // a single digit
}

TEST(ALProgressBarTest, PositionFillsFromTheStartEdgeAndLeavesTheRestToBackground) {
  TALProgressBar bar;
  bar.SetPosition(50);
  // Bar x = 1..99 (first run of the three-colour gradient), background from x = 100.
  EXPECT_EQ(PixelAt(bar, 1, 1), GradientColor(clGreen, clYellow, 100, 2));
  EXPECT_EQ(PixelAt(bar, 99, 1), ColorToRGB(clYellow));
  EXPECT_EQ(PixelAt(bar, 99, 18), ColorToRGB(clYellow));
  EXPECT_EQ(CountInRow(bar, 1, 100, 199, clBtnFace), 99);
  EXPECT_EQ(CountInRow(bar, 18, 100, 199, clBtnFace), 99);
  EXPECT_EQ(CountInRow(bar, 1, 1, 100, clBtnFace), 0);
  EXPECT_EQ(PixelAt(bar, 0, 1), ColorToRGB(clBtnShadow));  // frame over the bar
}

TEST(ALProgressBarTest, FilledLengthRoundsHalvesToEven) {
  TALProgressBar bar;
  MakeSolid(bar, 10, 4);
  bar.SetMax(4);
  bar.SetPosition(1);
  EXPECT_EQ(CountInRow(bar, 0, 0, 10, clRed), 2);  // 2.5
  EXPECT_EQ(CountInRow(bar, 0, 2, 10, clWhite), 8);
  bar.SetPosition(3);
  EXPECT_EQ(CountInRow(bar, 3, 0, 10, clRed), 8);  // 7.5
  EXPECT_EQ(PixelAt(bar, 7, 3), ColorToRGB(clRed));
  EXPECT_EQ(PixelAt(bar, 8, 3), ColorToRGB(clWhite));

  TALProgressBar framed;
  MakeSolid(framed, 349, 15);
  framed.SetShowBorder(true);
  framed.SetPosition(50);
  EXPECT_EQ(CountInRow(framed, 5, 1, 348, clRed), 174);  // 173.5
  EXPECT_EQ(PixelAt(framed, 174, 5), ColorToRGB(clRed));
  EXPECT_EQ(PixelAt(framed, 175, 5), ColorToRGB(clWhite));
}

TEST(ALProgressBarTest, IgnoredPositionWritesChangeAndPaintNothing) {
  TALProgressBar bar;
  bar.SetPosition(40);
  const int paints = bar.PaintCount();
  const QImage before = bar.OffscreenImage();
  bar.SetPosition(40);   // equal
  bar.SetPosition(101);  // above Max
  bar.SetPosition(-1);   // below Min
  EXPECT_EQ(bar.Position(), 40);
  EXPECT_EQ(bar.PaintCount(), paints);
  EXPECT_EQ(bar.OffscreenImage(), before);
  bar.SetPosition(100);  // the bounds themselves are accepted
  EXPECT_EQ(bar.Position(), 100);
  bar.SetPosition(0);
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_EQ(bar.PaintCount(), paints + 2);
}

TEST(ALProgressBarTest, MinAndMaxWritesNeverTouchPosition) {
  TALProgressBar bar;
  MakeSolid(bar, 100, 5);
  bar.SetPosition(50);
  bar.SetMax(10);
  EXPECT_EQ(bar.Position(), 50);
  EXPECT_EQ(CountInRow(bar, 2, 0, 100, clRed), 100);  // beyond Max: full bar
  bar.SetMin(60);
  EXPECT_EQ(bar.Position(), 50);
  EXPECT_EQ(CountInRow(bar, 2, 0, 100, clWhite), 100);  // at or below Min: empty bar
  bar.SetPosition(55);                                  // outside the new range
  EXPECT_EQ(bar.Position(), 50);
}

TEST(ALProgressBarTest, EqualMinAndMaxKeepTheBarEmpty) {
  TALProgressBar bar;
  MakeSolid(bar, 100, 5);
  bar.SetMax(5);
  bar.SetMin(5);
  bar.SetPosition(6);
  bar.SetPosition(4);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(5);
  EXPECT_EQ(bar.Position(), 5);
  EXPECT_EQ(CountInRow(bar, 2, 0, 100, clWhite), 100);
}

TEST(ALProgressBarTest, ThreeColourGradientRunsMeetAtTheMiddleColour) {
  TALProgressBar bar;
  bar.SetShowPosText(false);
  bar.SetShowBorder(false);
  bar.SetPosition(100);
  EXPECT_EQ(PixelAt(bar, 0, 10), ColorToRGB(clGreen));
  EXPECT_EQ(PixelAt(bar, 99, 10), ColorToRGB(clYellow));
  EXPECT_EQ(PixelAt(bar, 100, 10), ColorToRGB(clYellow));
  EXPECT_EQ(PixelAt(bar, 199, 10), ColorToRGB(clRed));
  EXPECT_EQ(PixelAt(bar, 50, 0), GradientColor(clGreen, clYellow, 100, 51));
  EXPECT_EQ(PixelAt(bar, 150, 19), GradientColor(clYellow, clRed, 100, 51));

  // W = 7: runs of 3 and 4 columns.
  bar.resize(7, 3);
  bar.SetBarColorStyle(cs3Colors);
  const TColor expected[7] = {0x008000,
                              0x00C080,
                              0x00FFFF,
                              0x00FFFF,
                              GradientColor(clYellow, clRed, 4, 2),
                              GradientColor(clYellow, clRed, 4, 3),
                              0x0000FF};
  EXPECT_EQ(expected[4], 0x00AAFFu);  // 255 - 85 = 170 green
  for (int x = 0; x < 7; ++x) EXPECT_EQ(PixelAt(bar, x, 1), expected[x]) << "column " << x;
}

TEST(ALProgressBarTest, GradientOrientationFollowsDirection) {
  TALProgressBar bar;
  bar.SetShowPosText(false);
  bar.SetShowBorder(false);
  bar.SetPosition(100);
  bar.SetBarColorStyle(cs2Colors);
  bar.SetDirection(pdRightToLeft);
  EXPECT_EQ(PixelAt(bar, 0, 10), ColorToRGB(clYellow));
  EXPECT_EQ(PixelAt(bar, 199, 10), ColorToRGB(clGreen));

  bar.SetBarColorStyle(cs3Colors);
  bar.SetDirection(pdBottomToTop);
  for (int x : {0, 100, 199}) {
    EXPECT_EQ(PixelAt(bar, x, 0), ColorToRGB(clRed));
    EXPECT_EQ(PixelAt(bar, x, 9), ColorToRGB(clYellow));
    EXPECT_EQ(PixelAt(bar, x, 10), ColorToRGB(clYellow));
    EXPECT_EQ(PixelAt(bar, x, 19), ColorToRGB(clGreen));
  }
  bar.SetDirection(pdTopToBottom);
  EXPECT_EQ(PixelAt(bar, 5, 0), ColorToRGB(clGreen));
  EXPECT_EQ(PixelAt(bar, 5, 19), ColorToRGB(clRed));
}

TEST(ALProgressBarTest, BackgroundSitsOppositeTheStartEdge) {
  TALProgressBar bar;
  MakeSolid(bar, 20, 10);
  bar.SetPosition(30);  // 6 of 20 columns, 3 of 10 rows
  EXPECT_EQ(CountInRow(bar, 5, 0, 6, clRed), 6);
  EXPECT_EQ(CountInRow(bar, 5, 6, 20, clWhite), 14);
  bar.SetDirection(pdRightToLeft);
  EXPECT_EQ(CountInRow(bar, 5, 0, 14, clWhite), 14);
  EXPECT_EQ(CountInRow(bar, 5, 14, 20, clRed), 6);
  bar.SetDirection(pdBottomToTop);
  for (int y = 0; y < 10; ++y)
    EXPECT_EQ(PixelAt(bar, 3, y), ColorToRGB(y >= 7 ? clRed : clWhite)) << "row " << y;
  bar.SetDirection(pdTopToBottom);
  for (int y = 0; y < 10; ++y)
    EXPECT_EQ(PixelAt(bar, 3, y), ColorToRGB(y < 3 ? clRed : clWhite)) << "row " << y;
}

TEST(ALProgressBarTest, OnePixelWideImage) {
  TALProgressBar bar;
  bar.resize(1, 20);
  bar.SetShowPosText(false);
  bar.SetShowBorder(false);
  bar.SetPosition(100);
  bar.SetBarColorStyle(cs2Colors);
  EXPECT_EQ(PixelAt(bar, 0, 5), ColorToRGB(clGreen));
  bar.SetBarColorStyle(cs3Colors);
  EXPECT_EQ(PixelAt(bar, 0, 5), ColorToRGB(clYellow));  // first run empty
  bar.SetShowBorder(true);  // frame wider than the control: no crash, frame wins
  EXPECT_EQ(PixelAt(bar, 0, 0), ColorToRGB(clBtnShadow));
}

TEST(ALProgressBarTest, DegenerateSizesComposeNothingAndKeepValues) {
  TALProgressBar bar;
  bar.resize(0, 20);
  bar.SetPosition(30);
  EXPECT_EQ(bar.Position(), 30);
  EXPECT_TRUE(bar.OffscreenImage().isNull());
  bar.resize(3, 1);
  bar.SetBarColor1(clNavy);
  EXPECT_EQ(bar.OffscreenImage().size(), QSize(3, 1));
}

TEST(ALProgressBarTest, BarBitmapIsTiledUnscaledAndTakesPrecedence) {
  QImage tile(16, 16, QImage::Format_RGB32);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) tile.setPixel(x, y, qRgb(x * 16, y * 16, 77));
  const auto tilePixel = [&](int x, int y) {
    const QRgb p = tile.pixel(x, y);
    return static_cast<TColor>(qRed(p)) | (static_cast<TColor>(qGreen(p)) << 8) |
           (static_cast<TColor>(qBlue(p)) << 16);
  };

  TALProgressBar bar;
  MakeSolid(bar, 349, 15);
  bar.SetPosition(100);
  bar.SetBarBitmap(&tile);
  tile.setPixel(0, 0, qRgb(1, 2, 3));  // the control holds its own copy
  EXPECT_EQ(bar.BarBitmap().pixel(0, 0), qRgb(0, 0, 77));
  EXPECT_EQ(PixelAt(bar, 0, 0), 0x4D0000u);
  EXPECT_EQ(PixelAt(bar, 16, 0), 0x4D0000u);
  EXPECT_EQ(PixelAt(bar, 345, 3), tilePixel(345 % 16, 3));
  EXPECT_EQ(PixelAt(bar, 348, 14), tilePixel(348 % 16, 14));  // 22nd column, cut off
  EXPECT_EQ(PixelAt(bar, 21, 14), tilePixel(5, 14));

  bar.SetBarColorStyle(cs3Colors);  // the picture still wins
  EXPECT_EQ(PixelAt(bar, 345, 3), tilePixel(345 % 16, 3));

  bar.SetBarBitmap(nullptr);  // back to the colour style
  EXPECT_TRUE(bar.BarBitmap().isNull());
  EXPECT_EQ(PixelAt(bar, 0, 0), ColorToRGB(clRed));
  EXPECT_EQ(PixelAt(bar, 348, 0), ColorToRGB(clRed));  // cs3: BarColor3 at the far edge

  bar.SetBarBitmap(&tile);
  const QImage none;
  bar.SetBarBitmap(&none);
  EXPECT_TRUE(bar.BarBitmap().isNull());
  EXPECT_EQ(PixelAt(bar, 0, 0), ColorToRGB(clRed));
}

TEST(ALProgressBarTest, TextIsPrefixNumberSuffix) {
  const auto picture = [](const std::function<void(TALProgressBar&)>& setUp) {
    TALProgressBar bar;
    MakeTextOnly(bar);
    setUp(bar);
    return bar.OffscreenImage();
  };
  const QImage suffixed = picture([](TALProgressBar& b) {
    b.SetPosition(37);
    b.SetPosTextSuffix(" %");
  });
  EXPECT_EQ(suffixed, picture([](TALProgressBar& b) {
              b.SetPosition(3);
              b.SetPosTextSuffix("7 %");
            }));
  EXPECT_EQ(suffixed, picture([](TALProgressBar& b) {
              b.SetPosition(7);
              b.SetPosTextPrefix("3");
              b.SetPosTextSuffix(" %");
            }));
  EXPECT_NE(suffixed, picture([](TALProgressBar& b) { b.SetPosition(37); }));
  // Negative positions get a minus sign.
  EXPECT_EQ(picture([](TALProgressBar& b) {
              b.SetMin(-10);
              b.SetPosition(-5);
            }),
            picture([](TALProgressBar& b) {
              b.SetPosition(5);
              b.SetPosTextPrefix("-");
            }));
}

TEST(ALProgressBarTest, PercentageTextIgnoresMinAndShowsZeroWithoutMax) {
  const auto picture = [](const std::function<void(TALProgressBar&)>& setUp) {
    TALProgressBar bar;
    MakeTextOnly(bar);
    setUp(bar);
    return bar.OffscreenImage();
  };
  const auto plain = [&](int position) {
    return picture([position](TALProgressBar& b) { b.SetPosition(position); });
  };
  const auto percent = [&](int min, int max, int position) {
    return picture([=](TALProgressBar& b) {
      b.SetMax(max);
      b.SetMin(min);
      b.SetPosition(position);
      b.SetPercentage(true);
    });
  };
  EXPECT_EQ(percent(0, 8, 1), plain(12));
  EXPECT_EQ(percent(0, 8, 3), plain(38));
  EXPECT_EQ(percent(-8, 8, 3), plain(38));
  EXPECT_NE(percent(0, 8, 3), plain(37));
  EXPECT_EQ(percent(-10, 0, -5), plain(0));
}

TEST(ALProgressBarTest, FontChangeRepaintsAtOnceWithTheNewFont) {
  TALProgressBar bar;
  bar.resize(200, 40);
  MakeTextOnly(bar);
  QFont small = bar.font();
  small.setPixelSize(8);
  bar.setFont(small);
  const QRect smallInk = InkBounds(bar.OffscreenImage(), clWhite);
  const int paints = bar.PaintCount();
  QFont big = small;
  big.setPixelSize(24);
  bar.setFont(big);
  EXPECT_EQ(bar.PaintCount(), paints + 1);
  const QRect bigInk = InkBounds(bar.OffscreenImage(), clWhite);
  ASSERT_FALSE(smallInk.isEmpty());
  ASSERT_FALSE(bigInk.isEmpty());
  EXPECT_GT(bigInk.height(), smallInk.height() * 2);
  EXPECT_NEAR(bigInk.center().y(), 20, 4);  // still centred with the new measurements

  bar.SetFontColor(clNavy);
  EXPECT_EQ(bar.PaintCount(), paints + 2);
  const QImage& image = bar.OffscreenImage();
  int navy = 0;
  for (int y = bigInk.top(); y <= bigInk.bottom(); ++y)
    for (int x = bigInk.left(); x <= bigInk.right(); ++x)
      navy += image.pixel(x, y) == TColorToQColor(clNavy).rgb() ? 1 : 0;
  EXPECT_GT(navy, 0) << "text not drawn in the font colour";
}

TEST(ALProgressBarTest, EveryOtherWritePaintsEvenWithAnEqualValue) {
  TALProgressBar bar;
  const QImage picture(4, 4, QImage::Format_RGB32);
  const std::vector<std::function<void()>> writes = {
      [&] { bar.SetBackgroundColor(bar.BackgroundColor()); },
      [&] { bar.SetBarBitmap(nullptr); },
      [&] { bar.SetBarColor1(bar.BarColor1()); },
      [&] { bar.SetBarColor2(bar.BarColor2()); },
      [&] { bar.SetBarColor3(bar.BarColor3()); },
      [&] { bar.SetBarColorStyle(bar.BarColorStyle()); },
      [&] { bar.SetBorderColor1(bar.BorderColor1()); },
      [&] { bar.SetBorderColor2(bar.BorderColor2()); },
      [&] { bar.SetDirection(bar.Direction()); },
      [&] { bar.SetMax(bar.Max()); },
      [&] { bar.SetMin(bar.Min()); },
      [&] { bar.SetPercentage(bar.Percentage()); },
      [&] { bar.SetPosTextPrefix(bar.PosTextPrefix()); },
      [&] { bar.SetPosTextSuffix(bar.PosTextSuffix()); },
      [&] { bar.SetShowBorder(bar.ShowBorder()); },
      [&] { bar.SetShowPosText(bar.ShowPosText()); },
      [&] { bar.SetFontColor(bar.FontColor()); },
  };
  for (size_t i = 0; i < writes.size(); ++i) {
    const int before = bar.PaintCount();
    const int builds = bar.BarImageBuildCount();
    writes[i]();
    EXPECT_EQ(bar.PaintCount(), before + 1) << "write " << i;
    EXPECT_EQ(bar.BarImageBuildCount(), builds + 1) << "write " << i << " reused the cache";
  }
}

TEST(ALProgressBarTest, PositionWritesReuseTheCachedBarPicture) {
  TALProgressBar bar;
  bar.SetShowPosText(false);
  bar.SetShowBorder(false);
  const int builds = bar.BarImageBuildCount();
  for (int p = 1; p <= 100; ++p) bar.SetPosition(p);
  EXPECT_EQ(bar.BarImageBuildCount(), builds);
  EXPECT_EQ(PixelAt(bar, 199, 5), ColorToRGB(clRed));

  // Tiled pictures are cached the same way.
  QImage tile(8, 8, QImage::Format_RGB32);
  tile.fill(Qt::blue);
  bar.SetBarBitmap(&tile);
  const int tiled = bar.BarImageBuildCount();
  bar.SetPosition(50);
  EXPECT_EQ(bar.BarImageBuildCount(), tiled);
  EXPECT_EQ(PixelAt(bar, 10, 5), 0xFF0000u);

  // Until the next full paint, a size change still shows the older cached picture.
  bar.SetBarBitmap(nullptr);
  bar.resize(100, 20);
  bar.SetPosition(100);
  EXPECT_EQ(PixelAt(bar, 99, 5), ColorToRGB(clYellow));  // column 99 of the 200-wide gradient
  bar.SetBarColor3(clRed);
  EXPECT_EQ(PixelAt(bar, 99, 5), ColorToRGB(clRed));
}

TEST(ALProgressBarTest, PositionWriteBeforeAnyPaintStillDrawsTheBar) {
  TALProgressBar fresh;
  fresh.SetPosition(100);
  EXPECT_EQ(PixelAt(fresh, 1, 1), GradientColor(clGreen, clYellow, 100, 2));
  EXPECT_EQ(PixelAt(fresh, 198, 1), GradientColor(clYellow, clRed, 100, 99));
}

TEST(ALProgressBarTest, WhileLoadingOnlyFrameAndTextArePainted) {
  TALProgressBar bar;
  bar.SetShowPosText(false);
  const int builds = bar.BarImageBuildCount();
  bar.SetLoading(true);
  EXPECT_TRUE(bar.Loading());
  const int paints = bar.PaintCount();
  bar.SetPosition(100);
  bar.SetBorderColor1(clRed);
  EXPECT_EQ(bar.PaintCount(), paints + 2);
  EXPECT_EQ(bar.BarImageBuildCount(), builds);
  EXPECT_EQ(PixelAt(bar, 0, 0), ColorToRGB(clRed));        // frame drawn
  EXPECT_EQ(PixelAt(bar, 50, 10), ColorToRGB(clBtnFace));  // earlier content kept
  bar.SetLoading(false);
  bar.SetBorderColor1(clBtnShadow);
  EXPECT_EQ(PixelAt(bar, 50, 10), GradientColor(clGreen, clYellow, 100, 51));
}

TEST(ALProgressBarTest, VisibleControlReachesTheScreenOnceAndFrameworkPaintsRebuild) {
  QWidget parent;
  parent.resize(300, 100);
  auto* bar = new TALProgressBar(&parent);
  bar->move(10, 10);
  parent.show();
  QApplication::processEvents();
  const int paints = bar->PaintCount();
  const int builds = bar->BarImageBuildCount();
  bar->SetPosition(60);
  EXPECT_EQ(bar->PaintCount(), paints + 1);  // our own repaint only copies
  EXPECT_EQ(bar->BarImageBuildCount(), builds);
  bar->repaint();  // a request from outside runs the full routine
  EXPECT_EQ(bar->PaintCount(), paints + 2);
  EXPECT_EQ(bar->BarImageBuildCount(), builds + 1);
  const QImage onScreen = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(onScreen, bar->OffscreenImage());
}

}  // namespace
