#pragma once

#include <QString>

// Lengths of user-visible text count user-perceived characters (extended grapheme clusters), so
// that an accented letter or an emoji sequence counts once, as the phone counts it.
namespace Graphemes {

qsizetype count(const QString& text);

// The first `limit` user-perceived characters of the text.
QString prefix(const QString& text, qsizetype limit);

} // namespace Graphemes
