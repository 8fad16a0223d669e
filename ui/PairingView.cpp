#include "ui/PairingView.h"

#include "ui/PanelStyle.h"
#include "ui/SymbolView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using PanelStyle::Text;

namespace {

// The prominent button: filled with the accent colour.
class ProminentButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = PanelStyle::accent(palette());
        if (isDown()) {
            fill = fill.darker(115);
        }
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        painter.setPen(palette().color(QPalette::HighlightedText));
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter, text());
        if (hasFocus()) {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(fill.lighter(150), 2));
            painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
        }
    }
};

QPushButton* largeButton(QPushButton* button)
{
    button->setFont(PanelStyle::font(Text::body));
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setMinimumSize(150, 32);
    return button;
}

} // namespace

PairingView::PairingView(const QString& name, const QString& code, std::function<void(bool)> answer,
                         QWidget* parent)
    : QWidget(parent)
    , m_answer(std::move(answer))
{
    setObjectName(u"PairingView"_s);
    setFixedWidth(pointWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 34, 28, 24);
    column->setSpacing(14);

    auto* symbol = new SymbolView(u"rectangle.on.rectangle"_s, 34, &PanelStyle::accent, this);
    symbol->setObjectName(u"symbol"_s);
    column->addWidget(symbol, 0, Qt::AlignHCenter);

    auto* title = new QLabel(u"Let “"_s + name + u"” see and control this Mac?"_s, this);
    title->setObjectName(u"title"_s);
    title->setTextFormat(Qt::PlainText);
    PanelStyle::apply(title, Text::title3, QFont::DemiBold);
    title->setAlignment(Qt::AlignHCenter);
    title->setWordWrap(true);
    column->addWidget(title);

    auto* explanation = new QLabel(
        u"OVU Desktop on that device shows a code. Allow only if it is the same as this one."_s, this);
    explanation->setObjectName(u"explanation"_s);
    PanelStyle::apply(explanation, Text::callout);
    PanelStyle::setTextColor(explanation, &PanelStyle::secondary);
    explanation->setAlignment(Qt::AlignHCenter);
    explanation->setWordWrap(true);
    column->addWidget(explanation);

    auto* shown = new QLabel(code, this);
    shown->setObjectName(u"code"_s);
    shown->setTextFormat(Qt::PlainText);
    // DejaVu Sans and most sans fonts draw their digits all the same width.
    QFont codeFont = PanelStyle::font(Text::body, QFont::DemiBold);
    codeFont.setPixelSize(40);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    shown->setFont(codeFont);
    shown->setAlignment(Qt::AlignHCenter);
    shown->setContentsMargins(0, 2, 0, 2);
    column->addWidget(shown);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->setContentsMargins(0, 4, 0, 0);
    m_refuse = largeButton(new QPushButton(u"Don’t Allow"_s, this));
    m_refuse->setObjectName(u"refuseButton"_s);
    m_allow = largeButton(new ProminentButton(u"Allow"_s, this));
    m_allow->setObjectName(u"allowButton"_s);
    buttons->addStretch();
    buttons->addWidget(m_refuse);
    buttons->addWidget(m_allow);
    buttons->addStretch();
    column->addLayout(buttons);
    connect(m_refuse, &QPushButton::clicked, this, [this] { m_answer(false); });
    connect(m_allow, &QPushButton::clicked, this, [this] { m_answer(true); });

    column->activate();
    setFixedHeight(column->totalHeightForWidth(pointWidth));
}

void PairingView::keyPressEvent(QKeyEvent* event)
{
    // Escape is "Don’t Allow" wherever the focus is (the buttons pass it on); Return is nothing.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        m_refuse->click();
        return;
    }
    QWidget::keyPressEvent(event);
}
