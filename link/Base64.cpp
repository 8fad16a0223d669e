#include "link/Base64.h"

namespace Base64 {

QString encode(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QByteArray> decode(const QString& text)
{
    // Qt's strict mode rejects foreign characters and bad padding but accepts missing padding.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    for (QChar c : text) {
        if (c.unicode() >= 0x80) {
            return std::nullopt;
        }
    }
    auto result = QByteArray::fromBase64Encoding(
        text.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok) {
        return std::nullopt;
    }
    return std::move(result.decoded);
}

} // namespace Base64
