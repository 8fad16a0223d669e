#include "tests/support/Processes.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QDir>
#include <QFile>

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
    // A session of its own: the helper's single-instance socket lives here. The sound server
    // stays the test machine's.
    const QString machineRuntime = environment.value(u"XDG_RUNTIME_DIR"_s);
    if (!environment.contains(u"PULSE_SERVER"_s) && !machineRuntime.isEmpty() &&
        QFile::exists(machineRuntime + u"/pulse/native"_s)) {
        environment.insert(u"PULSE_SERVER"_s, u"unix:"_s + machineRuntime + u"/pulse/native"_s);
    }
    QDir().mkpath(root + u"/runtime"_s);
    QFile::setPermissions(root + u"/runtime"_s,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment.insert(u"XDG_RUNTIME_DIR"_s, root + u"/runtime"_s);
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
    Child phone;
    phone.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s, arguments, home.environment);
    // The event loop keeps turning meanwhile: the helper may live in this process.
    if (!phone.wait(std::chrono::milliseconds(timeoutMs))) {
        phone.kill();
        return {-1, QString::fromUtf8(phone.output()), QString::fromUtf8(phone.errors())};
    }
    return {phone.exitCode(), QString::fromUtf8(phone.output()), QString::fromUtf8(phone.errors())};
}

HelperProcess::HelperProcess(const Home& home, const QStringList& arguments) : m_home(home)
{
    // Its errors go where the test's go.
    m_process.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-helper"_s, arguments, home.environment, false);
}

HelperProcess::~HelperProcess()
{
    if (m_process.isRunning()) {
        m_process.kill();
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
            return !m_process.isRunning();
        },
        std::chrono::milliseconds(timeoutMs));
    return port;
}

int HelperProcess::terminate(int timeoutMs)
{
    m_process.signal(SIGTERM);
    if (!m_process.wait(std::chrono::milliseconds(timeoutMs))) {
        return -1;
    }
    return m_process.exitCode();
}

ExtraDisplay::ExtraDisplay(int number, const QString& size)
{
    Child script;
    script.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/xvfb"_s,
                 {u"display"_s, QString::number(number), size});
    if (script.wait(std::chrono::seconds(10)) && script.exitCode() == 0) {
        m_pid = script.output().trimmed().toInt();
    }
}

ExtraDisplay::~ExtraDisplay()
{
    kill();
}

void ExtraDisplay::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        m_pid = 0;
    }
}

long residentKb(pid_t pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

int openDescriptors(pid_t pid)
{
    return int(QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace Tests
