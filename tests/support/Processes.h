#pragma once

#include "tests/support/Child.h"

#include <QTemporaryDir>

// The built programs run as separate processes, each with a home of its own.
namespace Tests {

// A fresh HOME with its own XDG folders.
struct Home {
    Home();
    QTemporaryDir folder;
    QProcessEnvironment environment;
    QString logPath() const { return folder.path() + QStringLiteral("/.local/state/OVUHelper.log"); }
};

struct PhoneRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs ovu-phone to its end (or kills it after the time limit).
PhoneRun runPhone(const Home& home, const QStringList& arguments, int timeoutMs = 20000);

// A plain TCP client socket to the helper's port on loopback; -1 when it could not connect.
int connectToHelper();

// A running process's open descriptors.
int openDescriptors(pid_t pid);

// ovu-helper in a home; its errors go where the test's go.
struct HelperProcess : Child {
    explicit HelperProcess(const Home& home, const QStringList& arguments = {});
    // Waits for "listening on port N" in the helper's log and returns N (0 when it never came).
    quint16 waitUntilListening(int timeoutMs = 10000);
    // SIGTERM, then the exit status (-1 when it did not end in time).
    int terminate(int timeoutMs = 5000);

    const QString log;
};

// One more X display of the test machine (tests/env/xvfb display), killed with the object, for
// tests that take a display away.
class ExtraDisplay {
public:
    ExtraDisplay(int number, const QString& size);
    ~ExtraDisplay() { kill(); }
    Q_DISABLE_COPY(ExtraDisplay)

    // The server's process, 0 when it did not start.
    pid_t pid() const { return m_pid; }
    void kill();

private:
    pid_t m_pid = 0;
};

} // namespace Tests
