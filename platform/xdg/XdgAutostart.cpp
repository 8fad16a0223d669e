#include "platform/xdg/XdgAutostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// A program path as one argument of an Exec key: in double quotes, with the characters the
// desktop entry format reserves escaped.
QString quotedArgument(const QString& argument)
{
    QString quoted;
    for (const QChar character : argument) {
        if (character == u'"' || character == u'`' || character == u'$' || character == u'\\') {
            quoted += u'\\';
        }
        quoted += character;
    }
    // A literal percent sign is doubled.
    quoted.replace(u"%"_s, u"%%"_s);
    return u"\""_s + quoted + u"\""_s;
}

} // namespace

XdgAutostart::XdgAutostart(QString program) : m_program(std::move(program))
{}

QString XdgAutostart::path() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           u"/autostart/ovu-helper.desktop"_s;
}

QByteArray XdgAutostart::entry(const QString& program)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=OVU Helper\n"
           "Comment=Lets a phone on this network see and control this computer\n"
           "Exec=" +
           quotedArgument(program).toUtf8() +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostart::isEnabled() const
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    // Desktops turn an entry off without removing it.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed == "Hidden=true" || trimmed == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

Result<> XdgAutostart::enable()
{
    const QString folder = QFileInfo(path()).absolutePath();
    if (!QDir().mkpath(folder)) {
        return Failure{u"The folder "_s + folder + u" cannot be made."_s};
    }
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write(entry(m_program)) < 0 || !file.commit()) {
        return Failure{file.errorString()};
    }
    return {};
}

Result<> XdgAutostart::disable()
{
    QFile file(path());
    if (file.exists() && !file.remove()) {
        return Failure{file.errorString()};
    }
    return {};
}
