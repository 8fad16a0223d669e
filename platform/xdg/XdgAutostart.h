#pragma once

#include "core/LoginItem.h"

#include <QString>

// The login item of an XDG desktop: "ovu-helper.desktop" in the user's autostart folder
// ($XDG_CONFIG_HOME/autostart), starting the given program.
class XdgAutostart : public LoginItem {
public:
    explicit XdgAutostart(QString program);

    bool isEnabled() const override;
    Result<> enable() override;
    Result<> disable() override;

    QString path() const;
    // The desktop entry that starts the program.
    static QByteArray entry(const QString& program);

private:
    QString m_program;
};
