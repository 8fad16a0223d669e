#include "tests/support/Child.h"

#include "tests/support/EventLoop.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <vector>

namespace Tests {

namespace {

// The strings as exec takes them, kept in `bytes`: pointers to them, ending with a null one.
std::vector<char*> pointers(const QStringList& strings, QList<QByteArray>& bytes)
{
    std::vector<char*> result;
    for (const QString& string : strings) {
        result.push_back(bytes.emplace_back(string.toUtf8()).data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

Child::~Child()
{
    kill();
    for (int fd : m_pipes) {
        ::close(fd); // -1 for a stream it did not pipe: nothing
    }
}

bool Child::start(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment, bool captureOutput, bool feedInput)
{
    QList<QByteArray> bytes;
    const std::vector<char*> argv = pointers(QStringList{program} + arguments, bytes);
    const std::vector<char*> envp = pointers(environment.toStringList(), bytes);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int theirs[3] = {-1, -1, -1};
    for (int stream = 0; stream < 3; ++stream) {
        int ends[2];
        if (stream == 0 ? feedInput : captureOutput) {
            if (::pipe2(ends, O_CLOEXEC) != 0) {
                return false;
            }
            // The child reads its input from a pipe's first end and writes its output to the second.
            theirs[stream] = ends[stream == 0 ? 0 : 1];
            m_pipes[stream] = ends[stream == 0 ? 1 : 0];
            posix_spawn_file_actions_adddup2(&actions, theirs[stream], stream);
        }
    }
    const int result = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int stream = 0; stream < 3; ++stream) {
        ::close(theirs[stream]); // nothing for -1
        // The test reads what there is without waiting; it writes all it has.
        ::fcntl(m_pipes[stream], F_SETFL, stream == 0 ? 0 : O_NONBLOCK);
    }
    if (result != 0) {
        m_pid = -1;
    }
    return result == 0;
}

bool Child::write(const QByteArray& bytes)
{
    // A blocking write to a pipe writes everything.
    return m_pipes[0] >= 0 && ::write(m_pipes[0], bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray Child::read(int stream)
{
    char buffer[65536];
    ssize_t n = 0;
    while (m_pipes[stream] >= 0 && (n = ::read(m_pipes[stream], buffer, sizeof buffer)) > 0) {
        m_read[stream].append(buffer, n);
    }
    return m_read[stream];
}

bool Child::isRunning()
{
    // Read what it wrote, so that it never waits for a full pipe.
    read(1);
    read(2);
    int status = 0;
    if (m_pid < 0 || ::waitpid(m_pid, &status, WNOHANG) != m_pid) {
        return m_pid >= 0;
    }
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return false;
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

} // namespace Tests
