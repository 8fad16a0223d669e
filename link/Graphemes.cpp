#include "link/Graphemes.h"

#include <QTextBoundaryFinder>

namespace Graphemes {

qsizetype count(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype n = 0;
    while (finder.toNextBoundary() != -1) {
        ++n;
    }
    return n;
}

QString prefix(const QString& text, qsizetype limit)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype n = 0; n < limit; ++n) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1) {
            return text;
        }
        end = next;
    }
    return text.left(end);
}

} // namespace Graphemes
