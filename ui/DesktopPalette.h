#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>

#include <optional>

// Follows the desktop's light or dark preference: a dark GTK theme named in GTK_THEME
// ("Adwaita:dark") or the desktop portal's "color-scheme" (asked over the session bus, and
// followed while it changes). Where Qt's platform theme already gives a dark palette, that one
// is kept.
class DesktopPalette : public QObject {
    Q_OBJECT

public:
    explicit DesktopPalette(QObject* parent = nullptr);

    // Reads the preference; with a session bus also asks the portal, without blocking.
    void follow(bool sessionBus);
    void setDark(bool dark);
    static QPalette darkPalette();
    // From a GTK_THEME value: dark, light, or nothing said.
    static std::optional<bool> darkFromGtkTheme(const QString& theme);

private Q_SLOTS:
    void portalChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void portalSaid(const QVariant& value);
    QPalette m_original;
    bool m_applied = false;
};
