#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <utility>

// A child process for tests, started with posix_spawn. (QProcess starts children in a way that
// makes ThreadSanitizer lose track of the parent's synchronisation afterwards.) The event loop
// keeps running while a test waits for it.
namespace Tests {

class Child {
public:
    Child() = default;
    ~Child();
    Q_DISABLE_COPY(Child)

    // Starts the program (looked up in PATH when it has no slash); false if it could not start.
    // Without captureOutput its output goes where the test's does; with feedInput, write() goes to
    // its standard input until closeInput().
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
               bool captureOutput = true, bool feedInput = false);
    bool write(const QByteArray& bytes);
    void closeInput() { ::close(std::exchange(m_pipes[0], -1)); }
    bool isRunning();
    // Waits for the end; false when the time ran out first.
    bool wait(std::chrono::milliseconds timeout);
    void signal(int number);
    void kill();

    // The exit status, or -1 when it was ended by a signal.
    int exitCode() const { return m_exitCode; }
    // While it runs; -1 before and after.
    pid_t pid() const { return m_pid; }
    QByteArray output() { return read(1); }
    QByteArray errors() { return read(2); }

private:
    QByteArray read(int stream);

    pid_t m_pid = -1;
    // The test's ends of the child's standard input, output and error; -1 when not piped.
    int m_pipes[3] = {-1, -1, -1};
    QByteArray m_read[3];
    int m_exitCode = -1;
};

} // namespace Tests
