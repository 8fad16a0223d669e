#include "tests/support/Processes.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QDir>

#include <csignal>

using namespace Qt::StringLiterals;

namespace Tests {

Home::Home() : environment(QProcessEnvironment::systemEnvironment())
{
    const QString root = folder.path();
    environment.insert(u"HOME"_s, root);
    environment.insert(u"XDG_DATA_HOME"_s, root + u"/.local/share"_s);
    environment.insert(u"XDG_CONFIG_HOME"_s, root + u"/.config"_s);
    environment.insert(u"XDG_STATE_HOME"_s, root + u"/.local/state"_s);
    environment.insert(u"XDG_CACHE_HOME"_s, root + u"/.cache"_s);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
}

QString Home::logPath() const
{
    return folder.path() + u"/.local/state/OVUHelper.log"_s;
}

QString Home::dataFolder() const
{
    return folder.path() + u"/.local/share/OVU Helper"_s;
}

PhoneRun runPhone(const Home& home, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(home.environment);
    process.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s, arguments);
    // Keep the event loop turning: the helper may live in this process.
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, std::chrono::milliseconds(timeoutMs));
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return {-1, QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

HelperProcess::HelperProcess(const Home& home, const QStringList& arguments) : m_home(home)
{
    m_process.setProcessEnvironment(home.environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-helper"_s, arguments);
    m_process.waitForStarted();
}

HelperProcess::~HelperProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

quint16 HelperProcess::waitUntilListening(int timeoutMs)
{
    quint16 port = 0;
    waitUntil(
        [&] {
            for (const QString& message : logMessages(m_home.logPath())) {
                if (message.startsWith(u"listening on port "_s)) {
                    port = message.mid(18).toUShort();
                    return true;
                }
            }
            return m_process.state() == QProcess::NotRunning;
        },
        std::chrono::milliseconds(timeoutMs));
    return port;
}

int HelperProcess::terminate(int timeoutMs)
{
    ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs)) {
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

} // namespace Tests
