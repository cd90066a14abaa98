// TALProgressBar: an owner-drawn progress bar that fills from one edge with a solid colour, a
// two- or three-colour gradient or a tiled picture, with an optional sunken one-pixel frame
// and an optional centred position text.
//
// Every property write composes the whole picture in an off-screen image and copies it to the
// screen at once, synchronously (repaint(), never update()), so progress shows while a long
// call blocks the user-interface thread. A Position write reuses the cached bar picture;
// every other paint rebuilds it.
//
// Hidden or parentless controls: a write always stores the value and composes the off-screen
// image (so OffscreenImage() is always current); the copy to the screen happens only while
// the control is visible. A control of zero width or height composes nothing.
//
// Single-threaded: use only on the GUI thread.
#pragma once

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "ALProgressBarMath.h"
#include "Graphics.h"

class TALProgressBar : public QWidget {
  Q_OBJECT

 public:
  // 200 x 20, never focused; every property at its default (see the setters).
  explicit TALProgressBar(QWidget* owner = nullptr);
  ~TALProgressBar() override;

  TALProgressBar(const TALProgressBar&) = delete;
  TALProgressBar& operator=(const TALProgressBar&) = delete;

  // Unfilled part. Default clBtnFace.
  TColor BackgroundColor() const { return FBackgroundColor; }
  void SetBackgroundColor(TColor value);

  // Picture tiled over the bar; while it holds an image it takes precedence over
  // BarColorStyle. The setter copies the picture (the caller keeps its own); a null pointer
  // or a null image empties it. Default empty.
  const QImage& BarBitmap() const { return FBarBitmap; }
  void SetBarBitmap(const QImage* picture);

  // Gradient colours. Defaults clGreen, clYellow, clRed.
  TColor BarColor1() const { return FBarColor1; }
  void SetBarColor1(TColor value);
  TColor BarColor2() const { return FBarColor2; }
  void SetBarColor2(TColor value);
  TColor BarColor3() const { return FBarColor3; }
  void SetBarColor3(TColor value);

  // Default cs3Colors.
  TBarColorStyle BarColorStyle() const { return FBarColorStyle; }
  void SetBarColorStyle(TBarColorStyle value);

  // Frame colours: top and left, then bottom and right. Defaults clBtnShadow, clBtnHighlight.
  TColor BorderColor1() const { return FBorderColor1; }
  void SetBorderColor1(TColor value);
  TColor BorderColor2() const { return FBorderColor2; }
  void SetBorderColor2(TColor value);

  // Default pdLeftToRight.
  TProgressDirection Direction() const { return FDirection; }
  void SetDirection(TProgressDirection value);

  // Range; neither is checked against the other nor against Position, and Position is never
  // adjusted. Defaults 100 and 0.
  int32_t Max() const { return FMax; }
  void SetMax(int32_t value);
  int32_t Min() const { return FMin; }
  void SetMin(int32_t value);

  // The text shows Position / Max * 100 (0 while Max is 0) instead of Position. Default off.
  bool Percentage() const { return FPercentage; }
  void SetPercentage(bool value);

  // Ignored without a paint when equal to the current value, above Max or below Min.
  // Default 0.
  int32_t Position() const { return FPosition; }
  void SetPosition(int32_t value);

  // The text the bar shows for its position: prefix, number, suffix ("42 %"). Also what an
  // accessibility client reads as the bar's value.
  QString PosText() const;

  // Text around the number. Default empty.
  QString PosTextPrefix() const { return FPosTextPrefix; }
  void SetPosTextPrefix(const QString& value);
  QString PosTextSuffix() const { return FPosTextSuffix; }
  void SetPosTextSuffix(const QString& value);

  // Defaults true.
  bool ShowBorder() const { return FShowBorder; }
  void SetShowBorder(bool value);
  bool ShowPosText() const { return FShowPosText; }
  void SetShowPosText(bool value);

  // Colour of the position text (a QFont has none). Default clWindowText. Paints.
  TColor FontColor() const { return FFontColor; }
  void SetFontColor(TColor value);

  // True while the properties are being read from a stored form: writes still paint, but
  // the bar layer is left out (frame and text only).
  bool Loading() const { return FLoading; }
  void SetLoading(bool value);

  // For tests: the last composed picture, how many times the paint routine ran, and how many
  // times the cached bar picture was rebuilt (gradient or tiling).
  const QImage& OffscreenImage() const { return Offscreen; }
  int PaintCount() const { return FPaintCount; }
  int BarImageBuildCount() const { return FBarImageBuildCount; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Composes Offscreen and puts it on the screen in one step.
  void Paint();
  // The composition routine: bar layer, frame, text into Offscreen.
  void Compose();
  void PaintBar(bool rebuild);
  void BuildGradient();
  void TileBarBitmap();
  // Counts one more build of BarImage and gives it the control's size.
  void StartBarImage();
  TColor GradientColor(TColor start, TColor end, int count, int index) const;
  void PaintBorder();
  void PaintPosText();
  void ResizeOffscreen(int width, int height);

  QImage Offscreen;
  QFont OffscreenFont;
  TColor FBorderColor1;
  TColor FBorderColor2;
  TColor FBackgroundColor;
  int32_t FPosition;
  QImage FBarBitmap;
  int32_t FMin;
  int32_t FMax;
  bool FShowBorder;
  TProgressDirection FDirection;
  bool FShowPosText;
  QString FPosTextSuffix;
  QString FPosTextPrefix;
  TBarColorStyle FBarColorStyle;
  TColor FBarColor1;
  TColor FBarColor2;
  TColor FBarColor3;
  bool RebuildBarImage;
  QImage BarImage;
  bool FPercentage;
  TColor FFontColor = clWindowText;
  bool FLoading = false;
  // Set while our own repaint() runs, so paintEvent only copies what Paint() composed;
  // every other paint request from the framework composes afresh first.
  bool FInOwnRepaint = false;
  int FPaintCount = 0;
  int FBarImageBuildCount = 0;
};
