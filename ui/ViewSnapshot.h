#pragma once

#include <QString>

class QWidget;

// Writes a view as a PNG at two pixels per point, on the window background, at the view's own
// size. Answers whether the file was written.
namespace ViewSnapshot {

constexpr double scale = 2.0;
bool write(QWidget& view, const QString& path);

} // namespace ViewSnapshot
