#pragma once

#include <QString>

// The user's switches, kept in the settings file ($XDG_CONFIG_HOME/OVU/OVU Helper.conf): each
// true until stored otherwise, stored at every change.
class HelperSettings {
public:
    HelperSettings();

    bool acceptsConnections() const { return m_acceptsConnections; }
    void setAcceptsConnections(bool on);
    bool sendsSound() const { return m_sendsSound; }
    void setSendsSound(bool on);
    bool mutesWhileConnected() const { return m_mutesWhileConnected; }
    void setMutesWhileConnected(bool on);

    // Whether the welcome window was shown at an earlier launch; from now on it counts as shown.
    static bool takeWelcomeShown();

private:
    bool m_acceptsConnections = true;
    bool m_sendsSound = true;
    bool m_mutesWhileConnected = true;
};
