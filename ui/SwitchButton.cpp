#include "ui/SwitchButton.h"

#include "ui/PanelStyle.h"

#include <QPainter>
#include <QPainterPath>

SwitchButton::SwitchButton(QWidget* parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void SwitchButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(0.4);
    }
    const QPalette& colors = palette();
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2;
    QColor off = colors.color(QPalette::WindowText);
    off.setAlphaF(PanelStyle::isDark(colors) ? 0.25F : 0.12F);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? PanelStyle::accent(colors) : off);
    painter.drawRoundedRect(track, radius, radius);

    const qreal knobSize = track.height() - 3;
    const qreal knobX = isChecked() ? track.right() - 1.5 - knobSize : track.left() + 1.5;
    const QRectF knob(knobX, track.top() + 1.5, knobSize, knobSize);
    painter.setBrush(QColor(0, 0, 0, 40));
    painter.drawEllipse(knob.translated(0, 0.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(knob);
    if (hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(PanelStyle::accent(colors), 1.5));
        painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
    }
}
