#include "ui/OVUHelperApp.h"

#include "base/HelperLog.h"
#include "core/HelperModel.h"
#include "ui/HelperPanel.h"
#include "ui/HelperWelcome.h"
#include "ui/PairingView.h"
#include "ui/PanelStyle.h"
#include "ui/SymbolView.h"
#include "ui/ViewSnapshot.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

OVUHelperApp::OVUHelperApp(HelperModel& model, QObject* parent)
    : QObject(parent)
    , delegate(model)
    , m_model(model)
{
    QPointer<OVUHelperApp> weak(this);
    m_model.pairingGate().askUser = [weak](QString name, QString code) -> QCoro::Task<bool> {
        if (!weak) {
            return [](bool value) -> QCoro::Task<bool> { co_return value; }(false);
        }
        return weak->pairing.ask(std::move(name), std::move(code));
    };
    m_model.renderUIIfAsked = [this] { renderUIIfAsked(); };
}

OVUHelperApp::~OVUHelperApp()
{
    m_model.pairingGate().askUser = nullptr;
    m_model.renderUIIfAsked = nullptr;
}

QString OVUHelperApp::traySymbol() const
{
    return m_model.connectedName ? u"rectangle.on.rectangle.fill"_s : u"rectangle.on.rectangle"_s;
}

void OVUHelperApp::start()
{
    if (m_started) {
        return;
    }
    m_started = true;
    // Off screen there is no tray to ask.
    if (QGuiApplication::platformName() != u"offscreen"_s) {
        m_tray = std::make_unique<QSystemTrayIcon>();
        m_tray->setToolTip(u"OVU Helper"_s);
        connect(m_tray.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason != QSystemTrayIcon::Unknown) {
                        showPanel();
                    }
                });
        connect(&m_model, &HelperModel::changed, this, &OVUHelperApp::updateTray);
        updateTray();
        m_tray->show();
    }
    if (!m_tray || !QSystemTrayIcon::isSystemTrayAvailable()) {
        HelperLog::write(
            u"tray: this desktop shows no tray icons; open OVU Helper again to bring its window back"_s);
    }
    m_model.startUp();
    delegate.applicationDidFinishLaunching();
}

void OVUHelperApp::updateTray()
{
    if (!m_tray) {
        return;
    }
    // The phone's name may change while the symbol stays (another phone took over).
    m_tray->setToolTip(PanelStyle::plainToolTip(
        m_model.connectedName ? u"OVU Helper: "_s + *m_model.connectedName : u"OVU Helper"_s));
    const QString symbol = traySymbol();
    if (symbol == m_shownSymbol) {
        return;
    }
    m_shownSymbol = symbol;
    const QColor color = QApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(SymbolView::image(symbol, size, color, 1.0)));
    }
    m_tray->setIcon(icon);
}

void OVUHelperApp::showPanel()
{
    if (!m_panel) {
        // A popup: it closes when the user clicks elsewhere.
        m_panel = std::make_unique<QWidget>(nullptr, Qt::Popup);
        m_panel->setObjectName(u"TrayPanel"_s);
        auto* layout = new QVBoxLayout(m_panel.get());
        layout->setContentsMargins(0, 0, 0, 0);
        auto* menu = new HelperPanel(m_model, m_model.devices(), {}, m_panel.get());
        layout->addWidget(menu);
        QWidget* panel = m_panel.get();
        const auto fit = [panel, menu] { panel->setFixedSize(menu->size()); };
        connect(menu, &HelperPanel::resized, panel, fit);
        fit();
    }
    if (m_panel->isVisible()) {
        m_panel->hide();
        return;
    }
    // Next to the icon: under it when the tray is at the top of the screen, above it otherwise.
    // Tray hosts that embed the icon leave Qt without its true place; the pointer that just
    // clicked it knows better.
    QRect icon = m_tray ? m_tray->geometry() : QRect();
    const QPoint pointer = QCursor::pos();
    if (!icon.adjusted(-2, -2, 2, 2).contains(pointer)) {
        icon = QRect(pointer - QPoint(12, 12), QSize(24, 24));
    }
    QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    const QSize size = m_panel->size();
    QPoint at;
    if (icon.isValid()) {
        at = QPoint(icon.center().x() - size.width() / 2, icon.center().y() < area.center().y()
                                                              ? icon.bottom() + 4
                                                              : icon.top() - 4 - size.height());
    } else {
        at = QPoint(area.right() - size.width() - 8, area.top() + 8);
    }
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
    m_panel->move(at);
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void OVUHelperApp::renderUIIfAsked()
{
    if (!m_model.options.renderUI) {
        return;
    }
    const QDir folder(*m_model.options.renderUI);
    // Each file on its own: one that cannot be written leaves the others to be tried.
    {
        PairingView view(u"Alex’s iPhone"_s, u"481 207"_s, [](bool) {});
        ViewSnapshot::write(view, folder.filePath(u"pairing.png"_s));
    }
    {
        HelperPanel view(m_model, m_model.devices());
        ViewSnapshot::write(view, folder.filePath(u"menu.png"_s));
    }
    {
        HelperWelcome view(m_model, [] {});
        ViewSnapshot::write(view, folder.filePath(u"welcome.png"_s));
    }
}
