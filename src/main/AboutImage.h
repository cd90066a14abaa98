// The about page's picture: a JPEG stored with the program, decoded through the libjpeg 6b
// interface at full size and best quality, and drawn stretched into the control's bounds.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <cstdint>

// Decodes a JPEG held in memory. paletted false: 24-bit RGB (QImage::Format_RGB888);
// paletted true: at most 256 colours chosen by the decoder's two-pass quantiser
// (QImage::Format_Indexed8). Grey-scale pictures come out as Format_Grayscale8 either way.
// Returns false with a one-line reason in error for anything but a complete, sound picture:
// truncated or damaged data (the decoder's warnings count as errors), an unsupported colour
// space, or an empty buffer. Never exits and never throws.
bool DecodeJpeg(const uint8_t* data, size_t size, bool paletted, QImage& image, QString& error);

// The picture stored with the program (582 x 250, baseline JFIF, three components).
const uint8_t* AboutPictureData();
size_t AboutPictureSize();

// The program's 32 x 32 icon (PNG, 32 bits per pixel).
const uint8_t* IconPictureData();
size_t IconPictureSize();

// True when the screen shows 256 colours or fewer.
bool ScreenIsPaletted();

// The picture control (Image1): draws its picture stretched to fill its bounds, without
// keeping proportions. Takes no focus and no input.
class TImage : public QWidget {
 public:
  explicit TImage(QWidget* parent = nullptr);

  // Decodes data (see DecodeJpeg; paletted when the screen is). On failure the control keeps
  // no picture and the reason is returned in error.
  bool LoadJpeg(const uint8_t* data, size_t size, QString* error = nullptr);
  const QImage& Picture() const { return picture_; }

 protected:
  void paintEvent(class QPaintEvent* event) override;

 private:
  QImage picture_;
};
