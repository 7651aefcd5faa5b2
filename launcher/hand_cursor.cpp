#include "launcher/hand_cursor.h"

#include <QBitmap>
#include <QImage>
#include <QRgb>
#include <cstdint>

namespace launcher {

namespace {

std::uint32_t readLe(const QByteArray& b, qsizetype at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

}  // namespace

std::optional<QCursor> monochromeCursor(const QByteArray& file) {
  // Directory: reserved 0, type 2 (cursor), image count; then one 16-byte
  // entry per image whose "planes" and "bit count" fields hold the hot spot.
  constexpr qsizetype kDirectory = 6, kEntry = 16, kInfoHeader = 40;
  if (file.size() < kDirectory + kEntry) return std::nullopt;
  if (readLe(file, 0, 2) != 0 || readLe(file, 2, 2) != 2 || readLe(file, 4, 2) < 1)
    return std::nullopt;
  const int hotX = static_cast<int>(readLe(file, kDirectory + 4, 2));
  const int hotY = static_cast<int>(readLe(file, kDirectory + 6, 2));
  const qsizetype size = readLe(file, kDirectory + 8, 4);
  const qsizetype offset = readLe(file, kDirectory + 12, 4);
  if (offset < kDirectory + kEntry || size < kInfoHeader || offset + size > file.size())
    return std::nullopt;

  // The image: a bitmap header whose height counts both masks, a two-entry
  // palette, the colour (XOR) rows, then the transparency (AND) rows; rows
  // run bottom-up and are padded to 32 bits.
  const auto width = static_cast<int>(readLe(file, offset + 4, 4));
  const auto doubledHeight = static_cast<int>(readLe(file, offset + 8, 4));
  const auto bitCount = readLe(file, offset + 14, 2);
  const auto infoSize = static_cast<qsizetype>(readLe(file, offset, 4));
  const int height = doubledHeight / 2;
  if (infoSize < kInfoHeader) return std::nullopt;
  if (bitCount != 1 || width <= 0 || width > 256 || height <= 0 || height > 256) return std::nullopt;
  const qsizetype stride = ((width + 31) / 32) * 4;
  const qsizetype palette = offset + infoSize;
  const qsizetype colourRows = palette + 2 * 4;
  const qsizetype maskRows = colourRows + stride * height;
  if (maskRows + stride * height > offset + size) return std::nullopt;

  auto isBlack = [&](int index) {
    const qsizetype at = palette + index * 4;  // blue, green, red, reserved
    const int luminance = static_cast<std::uint8_t>(file[at]) +
                          static_cast<std::uint8_t>(file[at + 1]) +
                          static_cast<std::uint8_t>(file[at + 2]);
    return luminance < 3 * 128;
  };
  auto bit = [&](qsizetype rows, int x, int y) {
    const auto byte = static_cast<std::uint8_t>(file[rows + (height - 1 - y) * stride + x / 8]);
    return ((byte >> (7 - x % 8)) & 1) != 0;
  };

  // Qt's cursor bitmaps: colour 1 = black, 0 = white; mask 1 = drawn.
  QImage colour(width, height, QImage::Format_Mono);
  QImage mask(width, height, QImage::Format_Mono);
  const QList<QRgb> table{qRgb(255, 255, 255), qRgb(0, 0, 0)};
  colour.setColorTable(table);
  mask.setColorTable(table);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool transparent = bit(maskRows, x, y);
      colour.setPixel(x, y, !transparent && isBlack(bit(colourRows, x, y) ? 1 : 0) ? 1 : 0);
      mask.setPixel(x, y, transparent ? 0 : 1);
    }
  }
  if (hotX >= width || hotY >= height) return std::nullopt;
  return QCursor(QBitmap::fromImage(colour), QBitmap::fromImage(mask), hotX, hotY);
}

}  // namespace launcher
