// The about picture: the stored file's form, its decoding at full size in 24-bit and
// palette colour, and damaged data refused without a crash.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <vector>

#include "AboutImage.h"

namespace {

std::vector<uint8_t> StoredPicture() {
  return std::vector<uint8_t>(AboutPictureData(), AboutPictureData() + AboutPictureSize());
}

// Offset of the first marker 0xFF, code in the file, or npos.
size_t FindMarker(const std::vector<uint8_t>& data, uint8_t code) {
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0xFF && data[i + 1] == code) return i;
  return std::string::npos;
}

TEST(AboutPicture, IsABaselineJfifOfThreeComponentsAndAbout10KB) {
  const std::vector<uint8_t> data = StoredPicture();
  ASSERT_GT(data.size(), 4u);
  EXPECT_EQ(data[0], 0xFF);
  EXPECT_EQ(data[1], 0xD8);
  EXPECT_EQ(data[2], 0xFF);
  EXPECT_EQ(data[3], 0xE0);  // APP0
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[6]), 5), std::string("JFIF\0", 5));
  const size_t sof = FindMarker(data, 0xC0);  // baseline frame
  ASSERT_NE(sof, std::string::npos);
  EXPECT_EQ(FindMarker(data, 0xC2), std::string::npos) << "no progressive frame";
  EXPECT_EQ((data[sof + 5] << 8) | data[sof + 6], 250);  // height
  EXPECT_EQ((data[sof + 7] << 8) | data[sof + 8], 582);  // width
  EXPECT_EQ(data[sof + 9], 3);
  EXPECT_GT(data.size(), 7000u);
  EXPECT_LT(data.size(), 14000u);
}

TEST(AboutPicture, DecodesAtFullSizeInTrueColourAndInPaletteColour) {
  const std::vector<uint8_t> data = StoredPicture();
  QImage rgb;
  QString error;
  ASSERT_TRUE(DecodeJpeg(data.data(), data.size(), false, rgb, error)) << error.toStdString();
  EXPECT_EQ(rgb.size(), QSize(582, 250));
  EXPECT_EQ(rgb.format(), QImage::Format_RGB888);
  // Top left: the dark night blue the script starts its gradient with (#13243a).
  const QColor corner = rgb.pixelColor(2, 2);
  EXPECT_NEAR(corner.red(), 0x13, 8);
  EXPECT_NEAR(corner.green(), 0x24, 8);
  EXPECT_NEAR(corner.blue(), 0x3a, 8);
  // Bottom: the sea green it ends with (#0f4a46).
  const QColor bottom = rgb.pixelColor(20, 247);
  EXPECT_NEAR(bottom.green(), 0x4a, 10);
  EXPECT_GT(bottom.green(), bottom.red());

  QImage paletted;
  ASSERT_TRUE(DecodeJpeg(data.data(), data.size(), true, paletted, error)) << error.toStdString();
  EXPECT_EQ(paletted.size(), QSize(582, 250));
  EXPECT_EQ(paletted.format(), QImage::Format_Indexed8);
  EXPECT_GT(paletted.colorCount(), 8);
  EXPECT_LE(paletted.colorCount(), 256);
  const QColor near = paletted.pixelColor(2, 2);
  EXPECT_NEAR(near.red(), corner.red(), 24);
  EXPECT_NEAR(near.blue(), corner.blue(), 24);
}

TEST(AboutPicture, DamagedDataIsRefusedWithAReason) {
  const std::vector<uint8_t> data = StoredPicture();
  QImage image;
  QString error;

  for (size_t keep : {size_t{0}, size_t{2}, size_t{100}, data.size() / 2, data.size() - 2}) {
    error.clear();
    EXPECT_FALSE(DecodeJpeg(data.data(), keep, false, image, error)) << "truncated to " << keep;
    EXPECT_TRUE(image.isNull());
    EXPECT_FALSE(error.isEmpty());
  }

  const std::vector<uint8_t> foreign(4096, 0x5A);
  EXPECT_FALSE(DecodeJpeg(foreign.data(), foreign.size(), false, image, error));
  EXPECT_FALSE(error.isEmpty());

  // Markers inside the entropy-coded data: the decoder warns, and a warning refuses.
  std::vector<uint8_t> corrupt = data;
  const size_t sos = FindMarker(corrupt, 0xDA);
  ASSERT_NE(sos, std::string::npos);
  for (size_t i = sos + 40; i + 1 < corrupt.size() - 2; i += 97) {
    corrupt[i] = 0xFF;
    corrupt[i + 1] = 0xD3;  // a restart marker where none belongs
  }
  error.clear();
  EXPECT_FALSE(DecodeJpeg(corrupt.data(), corrupt.size(), false, image, error));
  EXPECT_FALSE(error.isEmpty());

  // A broken header (frame of zero width).
  std::vector<uint8_t> zeroWidth = data;
  const size_t sof = FindMarker(zeroWidth, 0xC0);
  zeroWidth[sof + 7] = 0;
  zeroWidth[sof + 8] = 0;
  EXPECT_FALSE(DecodeJpeg(zeroWidth.data(), zeroWidth.size(), true, image, error));
}

TEST(AboutPicture, TheControlKeepsNoPictureAfterAFailedLoad) {
  TImage control;
  const std::vector<uint8_t> data = StoredPicture();
  ASSERT_TRUE(control.LoadJpeg(data.data(), data.size()));
  EXPECT_FALSE(control.Picture().isNull());
  QString error;
  EXPECT_FALSE(control.LoadJpeg(data.data(), 50, &error));
  EXPECT_TRUE(control.Picture().isNull());
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(control.focusPolicy(), Qt::NoFocus);
}

TEST(ProgramIcon, Is32By32With32BitsPerPixel) {
  QImage icon;
  ASSERT_TRUE(icon.loadFromData(IconPictureData(), static_cast<int>(IconPictureSize()), "PNG"));
  EXPECT_EQ(icon.size(), QSize(32, 32));
  EXPECT_TRUE(icon.hasAlphaChannel());
  EXPECT_EQ(icon.depth(), 32);
}

}  // namespace
