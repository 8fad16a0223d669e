#include "ui/SymbolView.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

QString resourceOf(const QString& symbol)
{
    return u":/symbols/"_s + symbol + u".svg"_s;
}

} // namespace

SymbolView::SymbolView(const QString& symbol, int points, Tint tint, QWidget* parent)
    : QWidget(parent)
    , m_symbol(symbol)
    , m_points(points)
    , m_tint(tint)
{
    setFixedSize(points, points);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolView::setSymbol(const QString& symbol)
{
    if (symbol != m_symbol) {
        m_symbol = symbol;
        update();
    }
}

void SymbolView::setTint(Tint tint)
{
    m_tint = tint;
    update();
}

bool SymbolView::exists(const QString& symbol)
{
    return QFile::exists(resourceOf(symbol));
}

QImage SymbolView::image(const QString& symbol, int points, const QColor& color, qreal pixelRatio)
{
    QSvgRenderer renderer(resourceOf(symbol));
    if (!renderer.isValid()) {
        return {};
    }
    const int pixels = static_cast<int>(std::ceil(points * pixelRatio));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
        // Keep the drawing's coverage, take the colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    image.setDevicePixelRatio(pixelRatio);
    return image;
}

void SymbolView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QImage picture = image(m_symbol, m_points, color(), ratio);
    if (!picture.isNull()) {
        painter.drawImage(QPointF(0, 0), picture);
    }
}
