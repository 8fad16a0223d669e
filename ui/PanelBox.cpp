#include "ui/PanelBox.h"

#include "ui/PanelStyle.h"

#include <QPainter>
#include <QVBoxLayout>

PanelBox::PanelBox(QWidget* parent) : QWidget(parent), m_content(new QVBoxLayout(this))
{
    m_content->setContentsMargins(10, 10, 10, 10);
    m_content->setSpacing(6);
}

void PanelBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(PanelStyle::boxFill(palette()));
    painter.drawRoundedRect(QRectF(rect()), 10, 10);
}
