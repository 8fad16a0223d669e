#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Binary values on the wire: standard base64 with padding, no line breaks.
namespace Base64 {

QString encode(const QByteArray& bytes);

// Strict decoding: any character outside the alphabet, a length that is not a multiple of four,
// or misplaced padding is a failure.
std::optional<QByteArray> decode(const QString& text);

} // namespace Base64
