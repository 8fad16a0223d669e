#include "core/HelperSettings.h"

#include <QSettings>

using namespace Qt::StringLiterals;

namespace {

QSettings store()
{
    return QSettings(u"OVU"_s, u"OVU Helper"_s);
}

bool stored(const QString& key)
{
    return store().value(key, true).toBool();
}

void keep(const QString& key, bool value)
{
    store().setValue(key, value);
}

} // namespace

HelperSettings::HelperSettings()
    : m_acceptsConnections(stored(u"acceptsConnections"_s))
    , m_sendsSound(stored(u"sendsSound"_s))
    , m_mutesWhileConnected(stored(u"mutesWhileConnected"_s))
{}

void HelperSettings::setAcceptsConnections(bool on)
{
    m_acceptsConnections = on;
    keep(u"acceptsConnections"_s, on);
}

void HelperSettings::setSendsSound(bool on)
{
    m_sendsSound = on;
    keep(u"sendsSound"_s, on);
}

void HelperSettings::setMutesWhileConnected(bool on)
{
    m_mutesWhileConnected = on;
    keep(u"mutesWhileConnected"_s, on);
}

bool HelperSettings::takeWelcomeShown()
{
    QSettings settings = store();
    const bool shown = settings.value(u"hasShownWelcome"_s, false).toBool();
    settings.setValue(u"hasShownWelcome"_s, true);
    return shown;
}
