#include "ui/HelperWelcome.h"

#include "core/HelperModel.h"
#include "ui/HelperPanel.h"
#include "ui/PanelStyle.h"
#include "ui/SymbolView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using PanelStyle::Text;

HelperWelcome::HelperWelcome(HelperModel& model, std::function<void()> onDone, QWidget* parent)
    : QWidget(parent)
    , m_menu(nullptr)
{
    setObjectName(u"HelperWelcome"_s);
    setFixedWidth(pointWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(this);
    header->setObjectName(u"welcomeHeader"_s);
    header->setFixedWidth(pointWidth);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(18, 18, 18, 0);
    row->setSpacing(12);
    row->addWidget(new SymbolView(u"rectangle.on.rectangle"_s, 26, &PanelStyle::accent, header), 0,
                   Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto* title = new QLabel(u"OVU Helper is running"_s, header);
    PanelStyle::apply(title, Text::title3, QFont::DemiBold);
    texts->addWidget(title);
    auto* explanation = new QLabel(explanationText(), header);
    explanation->setObjectName(u"welcomeExplanation"_s);
    PanelStyle::apply(explanation, Text::callout);
    PanelStyle::setTextColor(explanation, &PanelStyle::secondary);
    explanation->setWordWrap(true);
    texts->addWidget(explanation);
    row->addLayout(texts, 1);
    column->addWidget(header);

    m_menu = new HelperPanel(model, model.devices(), std::move(onDone), this);
    column->addWidget(m_menu, 0, Qt::AlignLeft);
    connect(m_menu, &HelperPanel::resized, this, &HelperWelcome::fitHeight);
    fitHeight();
}

QString HelperWelcome::explanationText()
{
    // Where the desktop has no tray, launching the helper again is the way back in.
    return QSystemTrayIcon::isSystemTrayAvailable()
               ? u"It lives in the tray of your desktop’s panel, under this icon. Launch OVU Helper again "
                 u"to bring this window back."_s
               : u"This desktop shows no tray icons, so this window is the way in: launch OVU Helper again "
                 u"to bring it back."_s;
}

void HelperWelcome::fitHeight()
{
    QLayout* column = layout();
    column->invalidate();
    column->activate();
    const int height = column->totalHeightForWidth(pointWidth);
    if (height != this->height() || minimumHeight() != height) {
        setFixedHeight(height);
        Q_EMIT resized();
    }
}
