#include "ALProgressBar.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QRect>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "ALProgressBarAccessible.h"

namespace M = ALProgressBarMath;

namespace {

QRgb ToQRgb(TColor color) {
  const uint32_t rgb = ColorToRGB(color);
  return qRgb(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
              static_cast<int>((rgb >> 16) & 0xFF));
}

QRect ToQRect(const M::TRect& r) {
  return QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
}

void FillRect(QPainter& painter, const M::TRect& rect, TColor color) {
  if (!rect.IsEmpty()) painter.fillRect(ToQRect(rect), TColorToQColor(color));
}

}  // namespace

TALProgressBar::TALProgressBar(QWidget* owner)
    : QWidget(owner),
      FBorderColor1(clBtnShadow),
      FBorderColor2(clBtnHighlight),
      FBackgroundColor(clBtnFace),
      FPosition(0),
      FMin(0),
      FMax(100),
      FShowBorder(true),
      FDirection(pdLeftToRight),
      FShowPosText(true),
      FBarColorStyle(cs3Colors),
      FBarColor1(clGreen),
      FBarColor2(clYellow),
      FBarColor3(clRed),
      RebuildBarImage(true),
      FPercentage(false) {
  resize(200, 20);
  setFocusPolicy(Qt::NoFocus);
  // paintEvent covers every pixel with Offscreen, so Qt need not clear the area first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  OffscreenFont = font();
  static const bool accessible =
      (QAccessible::installFactory(ALProgressBarAccessibleFactory), true);
  (void)accessible;
}

TALProgressBar::~TALProgressBar() = default;

// ---- property writes -------------------------------------------------------------------

void TALProgressBar::SetBackgroundColor(TColor value) {
  FBackgroundColor = value;
  Paint();
}

void TALProgressBar::SetBarBitmap(const QImage* picture) {
  FBarBitmap = picture != nullptr ? *picture : QImage();
  Paint();
}

void TALProgressBar::SetBarColor1(TColor value) {
  FBarColor1 = value;
  Paint();
}

void TALProgressBar::SetBarColor2(TColor value) {
  FBarColor2 = value;
  Paint();
}

void TALProgressBar::SetBarColor3(TColor value) {
  FBarColor3 = value;
  Paint();
}

void TALProgressBar::SetBarColorStyle(TBarColorStyle value) {
  FBarColorStyle = value;
  Paint();
}

void TALProgressBar::SetBorderColor1(TColor value) {
  FBorderColor1 = value;
  Paint();
}

void TALProgressBar::SetBorderColor2(TColor value) {
  FBorderColor2 = value;
  Paint();
}

void TALProgressBar::SetDirection(TProgressDirection value) {
  FDirection = value;
  Paint();
}

void TALProgressBar::SetMax(int32_t value) {
  FMax = value;
  Paint();
}

void TALProgressBar::SetMin(int32_t value) {
  FMin = value;
  Paint();
}

void TALProgressBar::SetPercentage(bool value) {
  FPercentage = value;
  Paint();
}

void TALProgressBar::SetPosition(int32_t value) {
  if (value == FPosition || value > FMax || value < FMin) return;
  FPosition = value;
  // Progress steps only uncover more of the same bar picture: reuse the cached one.
  RebuildBarImage = false;
  struct Restore {
    bool& flag;
    ~Restore() { flag = true; }
  } restore{RebuildBarImage};
  Paint();
  // A screen reader announces progress from this; it costs nothing while none listens.
  QAccessibleValueChangeEvent event(this, FPosition);
  QAccessible::updateAccessibility(&event);
}

void TALProgressBar::SetPosTextPrefix(const QString& value) {
  FPosTextPrefix = value;
  Paint();
}

void TALProgressBar::SetPosTextSuffix(const QString& value) {
  FPosTextSuffix = value;
  Paint();
}

void TALProgressBar::SetShowBorder(bool value) {
  FShowBorder = value;
  Paint();
}

void TALProgressBar::SetShowPosText(bool value) {
  FShowPosText = value;
  Paint();
}

void TALProgressBar::SetFontColor(TColor value) {
  FFontColor = value;
  Paint();
}

void TALProgressBar::SetLoading(bool value) {
  FLoading = value;
}

// ---- framework events --------------------------------------------------------------------

void TALProgressBar::paintEvent(QPaintEvent*) {
  // Exposure, first showing, size change: the framework's requests run the full routine.
  if (!FInOwnRepaint) Compose();
  if (Offscreen.isNull()) return;
  QPainter painter(this);
  painter.drawImage(0, 0, Offscreen);
}

void TALProgressBar::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) {
    // Paint now instead of letting the base class schedule a later repaint.
    OffscreenFont = font();
    Paint();
    return;
  }
  QWidget::changeEvent(event);
}

// ---- painting ---------------------------------------------------------------------------

void TALProgressBar::Paint() {
  Compose();
  FInOwnRepaint = true;
  struct Restore {
    bool& flag;
    ~Restore() { flag = false; }
  } restore{FInOwnRepaint};
  repaint();  // synchronous; Qt skips it while the control is not visible
}

void TALProgressBar::Compose() {
  ++FPaintCount;
  const int w = width();
  const int h = height();
  if (w <= 0 || h <= 0) {
    Offscreen = QImage();
    return;
  }
  ResizeOffscreen(w, h);
  if (!FLoading) PaintBar(RebuildBarImage);
  if (FShowBorder) PaintBorder();
  if (FShowPosText) PaintPosText();
}

void TALProgressBar::ResizeOffscreen(int width, int height) {
  if (Offscreen.width() != width || Offscreen.height() != height) {
    // Keep the earlier picture at the top-left: while a form is read the bar layer is left
    // out and the old content shows through.
    QImage resized(width, height, QImage::Format_RGB32);
    resized.fill(Qt::white);
    if (!Offscreen.isNull()) {
      QPainter painter(&resized);
      painter.drawImage(0, 0, Offscreen);
    }
    Offscreen = resized;
  }
  // Text in points must measure and draw at the size it has on the screen.
  const int dpmX = static_cast<int>(std::lround(logicalDpiX() / 0.0254));
  const int dpmY = static_cast<int>(std::lround(logicalDpiY() / 0.0254));
  if (Offscreen.dotsPerMeterX() != dpmX) Offscreen.setDotsPerMeterX(dpmX);
  if (Offscreen.dotsPerMeterY() != dpmY) Offscreen.setDotsPerMeterY(dpmY);
}

void TALProgressBar::PaintBar(bool rebuild) {
  const int w = Offscreen.width();
  const int h = Offscreen.height();
  QPainter painter(&Offscreen);
  painter.setCompositionMode(QPainter::CompositionMode_Source);

  // Bar layer over the whole control, frame area included. A cache that was never built
  // (a Position write before any other paint) is built regardless, or the bar would show
  // whatever Offscreen held before.
  if (!FBarBitmap.isNull()) {
    if (rebuild || BarImage.isNull()) TileBarBitmap();
    painter.drawImage(0, 0, BarImage);
  } else if (FBarColorStyle == cs1Color) {
    painter.fillRect(0, 0, w, h, TColorToQColor(FBarColor1));
  } else {
    if (rebuild || BarImage.isNull()) BuildGradient();
    painter.drawImage(0, 0, BarImage);
  }

  const M::TRect inner = M::InnerRect(w, h, FShowBorder);
  const int track = M::TrackLength(FDirection, w, h, FShowBorder);
  const int filled = M::FilledLength(FPosition, FMin, FMax, track);
  FillRect(painter, M::BackgroundRect(FDirection, inner, track - filled), FBackgroundColor);
}

void TALProgressBar::StartBarImage() {
  ++FBarImageBuildCount;
  if (BarImage.width() != width() || BarImage.height() != height())
    BarImage = QImage(width(), height(), QImage::Format_RGB32);
}

void TALProgressBar::BuildGradient() {
  StartBarImage();
  const int w = width();
  const int h = height();

  const bool vertical = M::IsVertical(FDirection);
  const int axis = vertical ? h : w;
  const M::TGradientPlan plan =
      M::GradientRuns(FBarColorStyle, FDirection, axis, FBarColor1, FBarColor2, FBarColor3);
  std::vector<QRgb> lines(static_cast<size_t>(axis));
  for (int r = 0; r < plan.RunCount; ++r) {
    const M::TGradientRun& run = plan.Runs[static_cast<size_t>(r)];
    for (int k = 1; k <= run.Length; ++k)
      lines[static_cast<size_t>(run.First + k - 1)] =
          ToQRgb(GradientColor(run.StartColor, run.EndColor, run.Length, k));
  }

  // One colour per column (horizontal) or per row (vertical), written straight into the
  // pixels: exact, and no pen end-point conventions to worry about.
  for (int y = 0; y < h; ++y) {
    auto* scan = reinterpret_cast<QRgb*>(BarImage.scanLine(y));
    if (vertical) {
      std::fill(scan, scan + w, lines[static_cast<size_t>(y)]);
    } else {
      std::memcpy(scan, lines.data(), static_cast<size_t>(w) * sizeof(QRgb));
    }
  }
}

void TALProgressBar::TileBarBitmap() {
  StartBarImage();
  const int w = width();
  const int h = height();
  const int tileW = FBarBitmap.width();
  const int tileH = FBarBitmap.height();
  const M::TTileGrid grid = M::TileGrid(w, h, tileW, tileH);
  QPainter painter(&BarImage);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  for (int i = 0; i < grid.Rows; ++i)
    for (int j = 0; j < grid.Columns; ++j) painter.drawImage(j * tileW, i * tileH, FBarBitmap);
}

TColor TALProgressBar::GradientColor(TColor start, TColor end, int count, int index) const {
  return M::GradientColor(start, end, count, index);
}

void TALProgressBar::PaintBorder() {
  const M::TBorderRects rects = M::BorderRects(Offscreen.width(), Offscreen.height());
  QPainter painter(&Offscreen);
  for (const M::TRect& r : rects.First) FillRect(painter, r, FBorderColor1);
  for (const M::TRect& r : rects.Second) FillRect(painter, r, FBorderColor2);
}

QString TALProgressBar::PosText() const {
  return FPosTextPrefix + QString::number(M::PosTextNumber(FPosition, FMax, FPercentage)) +
         FPosTextSuffix;
}

void TALProgressBar::PaintPosText() {
  const QString text = PosText();
  const QFontMetrics metrics(OffscreenFont, &Offscreen);
  const M::TPoint origin = M::TextOrigin(Offscreen.width(), Offscreen.height(),
                                         metrics.horizontalAdvance(text), metrics.height());
  QPainter painter(&Offscreen);
  painter.setFont(OffscreenFont);
  painter.setPen(TColorToQColor(FFontColor));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(origin.X, origin.Y + metrics.ascent(), text);
}
