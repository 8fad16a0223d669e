#include "ui/DesktopPalette.h"

#include "ui/PanelStyle.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace {
const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString portalSettings = u"org.freedesktop.portal.Settings"_s;
const QString appearance = u"org.freedesktop.appearance"_s;
const QString colorScheme = u"color-scheme"_s;

// The portal wraps the value in one or two variants.
QVariant unwrapped(QVariant value)
{
    while (value.canConvert<QDBusVariant>()) {
        value = qvariant_cast<QDBusVariant>(value).variant();
    }
    return value;
}
} // namespace

DesktopPalette::DesktopPalette(QObject* parent) : QObject(parent), m_original(QApplication::palette())
{}

std::optional<bool> DesktopPalette::darkFromGtkTheme(const QString& theme)
{
    if (theme.isEmpty()) {
        return std::nullopt;
    }
    return theme.endsWith(u":dark"_s, Qt::CaseInsensitive) || theme.endsWith(u"-dark"_s, Qt::CaseInsensitive);
}

void DesktopPalette::follow(bool sessionBus)
{
    if (const std::optional<bool> dark = darkFromGtkTheme(qEnvironmentVariable("GTK_THEME"))) {
        setDark(*dark);
        return;
    }
    if (!sessionBus) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(portalService, portalPath, portalSettings, u"SettingChanged"_s, this,
                SLOT(portalChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings, u"Read"_s);
    read << appearance << colorScheme;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QVariant> reply = *call;
        if (!reply.isError()) {
            portalSaid(reply.value());
        }
    });
}

void DesktopPalette::portalChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    if (group == appearance && key == colorScheme) {
        portalSaid(value.variant());
    }
}

void DesktopPalette::portalSaid(const QVariant& value)
{
    // 1: prefers dark, 2: prefers light, 0: no preference.
    const uint scheme = unwrapped(value).toUInt();
    if (scheme == 1 || scheme == 2) {
        setDark(scheme == 1);
    }
}

void DesktopPalette::setDark(bool dark)
{
    if (dark && !m_applied && !PanelStyle::isDark(QApplication::palette())) {
        m_original = QApplication::palette();
        QApplication::setPalette(darkPalette());
        m_applied = true;
    } else if (!dark && m_applied) {
        QApplication::setPalette(m_original);
        m_applied = false;
    }
}

QPalette DesktopPalette::darkPalette()
{
    QPalette palette;
    const QColor window(0x2a, 0x2a, 0x2c);
    const QColor base(0x1e, 0x1e, 0x20);
    const QColor button(0x3a, 0x3a, 0x3c);
    const QColor text(0xee, 0xee, 0xef);
    const QColor disabled(0x80, 0x80, 0x84);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, button);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, disabled);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Light, button.lighter(130));
    palette.setColor(QPalette::Midlight, button.lighter(115));
    palette.setColor(QPalette::Mid, button.darker(120));
    palette.setColor(QPalette::Dark, button.darker(150));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x41, 0x9c, 0xff));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Disabled, role, disabled);
    }
    return palette;
}
