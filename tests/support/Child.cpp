#include "tests/support/Child.h"

#include "tests/support/EventLoop.h"

#include <QFile>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <vector>

namespace Tests {

Child::~Child()
{
    if (isRunning()) {
        kill();
    }
    closeInput();
    for (int fd : {m_out, m_err}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Child::start(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment, bool captureOutput, bool feedInput)
{
    std::vector<QByteArray> argumentBytes{QFile::encodeName(program)};
    for (const QString& argument : arguments) {
        argumentBytes.push_back(argument.toUtf8());
    }
    std::vector<char*> argv;
    for (QByteArray& bytes : argumentBytes) {
        argv.push_back(bytes.data());
    }
    argv.push_back(nullptr);
    std::vector<QByteArray> environmentBytes;
    for (const QString& entry : environment.toStringList()) {
        environmentBytes.push_back(entry.toUtf8());
    }
    std::vector<char*> envp;
    for (QByteArray& bytes : environmentBytes) {
        envp.push_back(bytes.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (captureOutput) {
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    }
    int inPipe[2] = {-1, -1};
    if (feedInput) {
        if (::pipe2(inPipe, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    }
    const int result = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) {
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        m_out = outPipe[0];
        m_err = errPipe[0];
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
        ::fcntl(m_err, F_SETFL, O_NONBLOCK);
    }
    if (feedInput) {
        ::close(inPipe[0]);
        m_in = inPipe[1];
    }
    if (result != 0) {
        m_pid = -1;
        m_finished = true;
        return false;
    }
    return true;
}

bool Child::write(const QByteArray& bytes)
{
    qsizetype written = 0;
    while (m_in >= 0 && written < bytes.size()) {
        const ssize_t n =
            ::write(m_in, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n <= 0) {
            return false;
        }
        written += n;
    }
    return m_in >= 0;
}

void Child::closeInput()
{
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
}

void Child::drain()
{
    char buffer[65536];
    for (auto [fd, sink] : {std::pair{m_out, &m_output}, std::pair{m_err, &m_errors}}) {
        if (fd < 0) {
            continue;
        }
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            sink->append(buffer, n);
        }
    }
}

bool Child::isRunning()
{
    drain();
    if (m_finished || m_pid < 0) {
        return false;
    }
    int status = 0;
    rusage usage{};
    if (::wait4(m_pid, &status, WNOHANG, &usage) == m_pid) {
        m_finished = true;
        m_cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        drain();
        return false;
    }
    return true;
}

bool Child::wait(std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return !isRunning(); }, timeout);
}

void Child::signal(int number)
{
    if (isRunning()) {
        ::kill(m_pid, number);
    }
}

void Child::kill()
{
    signal(SIGKILL);
    wait(std::chrono::seconds(5));
}

QByteArray Child::output()
{
    drain();
    return m_output;
}

QByteArray Child::errors()
{
    drain();
    return m_errors;
}

} // namespace Tests
