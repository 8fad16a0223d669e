#include "tests/support/Processes.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    // A session of its own: the helper's single-instance socket lives here. The sound server
    // stays the test machine's.
    const QString machineRuntime = environment.value(u"XDG_RUNTIME_DIR"_s);
    if (!environment.contains(u"PULSE_SERVER"_s) && QFile::exists(machineRuntime + u"/pulse/native"_s)) {
        environment.insert(u"PULSE_SERVER"_s, u"unix:"_s + machineRuntime + u"/pulse/native"_s);
    }
    QDir(root).mkdir(u"runtime"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment.insert(u"XDG_RUNTIME_DIR"_s, root + u"/runtime"_s);
}

PhoneRun runPhone(const Home& home, const QStringList& arguments, int timeoutMs)
{
    Child phone;
    phone.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s, arguments, home.environment);
    // The event loop keeps turning meanwhile: the helper may live in this process.
    const bool ended = phone.wait(std::chrono::milliseconds(timeoutMs));
    phone.kill();
    return {ended ? phone.exitCode() : -1, QString::fromUtf8(phone.output()),
            QString::fromUtf8(phone.errors())};
}

HelperProcess::HelperProcess(const Home& home, const QStringList& arguments) : log(home.logPath())
{
    start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-helper"_s, arguments, home.environment, false);
}

quint16 HelperProcess::waitUntilListening(int timeoutMs)
{
    const auto said = [&] { return logMessages(log).filter(u"listening on port "_s).value(0); };
    waitUntil([&] { return !said().isEmpty() || !isRunning(); }, std::chrono::milliseconds(timeoutMs));
    return said().mid(18).toUShort();
}

int HelperProcess::terminate(int timeoutMs)
{
    signal(SIGTERM);
    return wait(std::chrono::milliseconds(timeoutMs)) ? exitCode() : -1;
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

void ExtraDisplay::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        m_pid = 0;
    }
}

int connectToHelper()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47813);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int openDescriptors(pid_t pid)
{
    return int(QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace Tests
