#include "base/HelperLog.h"

#include "base/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

QString logPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state)) {
        state = QDir::homePath() + u"/.local/state"_s;
    }
    return state + u"/OVUHelper.log"_s;
}

class Writer {
public:
    Writer()
        : m_path(QFile::encodeName(logPath()))
        , m_folder(QFileInfo(logPath()).absolutePath())
        , m_thread([this] { run(); })
    {
        m_thread.detach();
    }

    const QByteArray& path() const { return m_path; }

    void submit(QByteArray line)
    {
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        m_submitted.fetch_add(1, std::memory_order_release);
        m_submitted.notify_one();
    }

    void flush()
    {
        const std::uint64_t target = m_submitted.load(std::memory_order_acquire);
        for (std::uint64_t written = m_written.load(std::memory_order_acquire); written < target;
             written = m_written.load(std::memory_order_acquire)) {
            m_written.wait(written, std::memory_order_acquire);
        }
    }

private:
    void run()
    {
        std::uint64_t seen = 0;
        for (;;) {
            m_submitted.wait(seen, std::memory_order_acquire);
            seen = m_submitted.load(std::memory_order_acquire);
            std::deque<QByteArray> batch;
            {
                std::lock_guard lock(m_mutex);
                batch.swap(m_lines);
            }
            for (const QByteArray& line : batch) {
                append(line);
            }
            m_written.fetch_add(batch.size(), std::memory_order_release);
            m_written.notify_all();
        }
    }

    void append(const QByteArray& line)
    {
        int fd = open();
        if (fd < 0 && errno == ENOENT && PrivateFiles::makeFolder(m_folder)) {
            fd = open();
        }
        if (fd < 0) {
            return; // the line is lost; nobody is told
        }
        const char* data = line.constData();
        qsizetype left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                break;
            }
            data += n;
            left -= n;
        }
        ::close(fd);
    }

    int open() const
    {
        // Running out of descriptors is often the very event being logged (a listener that cannot
        // accept): wait a moment for one rather than lose the line. Only this thread waits.
        for (int attempt = 0;; ++attempt) {
            const int fd = ::open(m_path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || attempt == descriptorRetries) {
                return fd;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static constexpr int descriptorRetries = 100;
    const QByteArray m_path;
    const QString m_folder;
    std::mutex m_mutex;
    std::deque<QByteArray> m_lines;
    // Lines submitted and lines written so far; the writer and flush() wait on them.
    std::atomic<std::uint64_t> m_submitted{0};
    std::atomic<std::uint64_t> m_written{0};
    std::thread m_thread;
};

Writer& writer()
{
    // Never destroyed: threads may still log while the process exits.
    static Writer* const instance = [] {
        auto* created = new Writer;
        // Lines written just before the process exits still reach the file.
        std::atexit([] { writer().flush(); });
        return created;
    }();
    return *instance;
}

} // namespace

QByteArray HelperLog::formatLine(const QString& message)
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &utc);
    QByteArray line(stamp, static_cast<qsizetype>(length));
    line += message.toUtf8();
    line += '\n';
    return line;
}

void HelperLog::write(const QString& message)
{
    writer().submit(formatLine(message));
}

QString HelperLog::path()
{
    return QFile::decodeName(writer().path());
}

void HelperLog::flush()
{
    writer().flush();
}
