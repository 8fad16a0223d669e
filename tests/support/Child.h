#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <chrono>

// A child process for tests, started with posix_spawn. (QProcess starts children in a way that
// makes ThreadSanitizer lose track of the parent's synchronisation afterwards.) The event loop
// keeps running while a test waits for it.
namespace Tests {

class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts the program (looked up in PATH when it has no slash); false if it could not start.
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
               bool captureOutput = true, bool feedInput = false);
    // Writes to the child's standard input (started with feedInput); closeInput() ends it.
    bool write(const QByteArray& bytes);
    void closeInput();
    bool isRunning();
    // Waits for the end; false when the time ran out first.
    bool wait(std::chrono::milliseconds timeout);
    void signal(int number);
    void kill();

    // The exit status, or -1 when it was ended by a signal.
    int exitCode() const { return m_exitCode; }
    // User and system CPU time the child used, once it has ended.
    double cpuSeconds() const { return m_cpuSeconds; }
    pid_t pid() const { return m_pid; }
    QByteArray output();
    QByteArray errors();

private:
    void drain();

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    int m_in = -1;
    int m_exitCode = -1;
    double m_cpuSeconds = 0;
    bool m_finished = false;
    QByteArray m_output;
    QByteArray m_errors;
};

} // namespace Tests
