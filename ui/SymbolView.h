#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <QWidget>

// One of the helper's symbols (an SVG of the resource, named after the symbol), drawn at a size
// in points in one colour, sharp at any pixel ratio.
class SymbolView : public QWidget {
    Q_OBJECT

public:
    using Tint = QColor (*)(const QPalette&);

    SymbolView(const QString& symbol, int points, Tint tint, QWidget* parent = nullptr);

    const QString& symbol() const { return m_symbol; }
    void setSymbol(const QString& symbol);
    void setTint(Tint tint);
    QColor color() const { return m_tint(palette()); }
    QSize sizeHint() const override { return {m_points, m_points}; }

    // The symbol's image in the colour, `points` large at the pixel ratio; empty for an unknown
    // symbol.
    static QImage image(const QString& symbol, int points, const QColor& color, qreal pixelRatio);
    static bool exists(const QString& symbol);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    int m_points;
    Tint m_tint;
};
