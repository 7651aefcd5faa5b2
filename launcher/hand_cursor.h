// Mouse pointers from Windows cursor files (.cur), so the artwork keeps its
// hot spot with the picture instead of in the code.
#pragma once

#include <QByteArray>
#include <QCursor>
#include <optional>

namespace launcher {

// A monochrome (one bit per pixel) cursor file's first image with its hot
// spot; std::nullopt for anything else or a damaged file.
std::optional<QCursor> monochromeCursor(const QByteArray& file);

}  // namespace launcher
