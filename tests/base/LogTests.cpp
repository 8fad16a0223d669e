#include "base/HelperLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

using namespace Qt::StringLiterals;

namespace {

QByteArray logText()
{
    HelperLog::flush();
    QFile file(HelperLog::path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString unique(const QString& prefix)
{
    return prefix + u' ' + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

const QRegularExpression stamped(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ (.*)$"_s);

} // namespace

TEST(HelperLog, UtcStampBlankAndTextPerLineInAPrivateFolderMadeWhenMissing)
{
    EXPECT_EQ(HelperLog::path(), qEnvironmentVariable("XDG_STATE_HOME") + u"/OVUHelper.log"_s);
    const QString folder = QFileInfo(HelperLog::path()).absolutePath();
    HelperLog::flush();
    QDir(folder).removeRecursively();
    const QString message = unique(u"“quoted” ünïcode"_s);
    HelperLog::write(message);
    HelperLog::write(u"one\ntwo"_s); // a line feed makes an unstamped second line
    HelperLog::write(QString());
    const QList<QByteArray> lines = logText().split('\n');
    ASSERT_EQ(lines.size(), 5);
    const auto match = stamped.match(QString::fromUtf8(lines[0]));
    ASSERT_TRUE(match.hasMatch()) << lines[0].constData();
    EXPECT_EQ(match.captured(1), message);
    EXPECT_LE(std::abs(QDateTime::fromString(QString::fromUtf8(lines[0].left(20)), Qt::ISODate)
                           .secsTo(QDateTime::currentDateTimeUtc())),
              2);
    EXPECT_TRUE(lines[1].endsWith(" one"));
    EXPECT_EQ(lines[2], "two");
    EXPECT_EQ(lines[3].size(), 21) << "an empty message is a stamp and a blank";
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // A log that cannot be written loses the line quietly.
    QFile::remove(HelperLog::path());
    ASSERT_TRUE(QDir().mkdir(HelperLog::path()));
    HelperLog::write(u"lost"_s);
    HelperLog::flush();
    ASSERT_TRUE(QDir().rmdir(HelperLog::path()));
    HelperLog::write(u"kept"_s);
    EXPECT_TRUE(logText().endsWith(" kept\n"));
}

TEST(HelperLog, ManyThreadsWriteWholeLinesInTheirOwnOrder)
{
    QFile::remove(HelperLog::path());
    constexpr int threads = 8;
    constexpr int perThread = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                HelperLog::write(QString::asprintf("thread %d line %d ", t, i) + QString(100, u'x'));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const QList<QByteArray> lines = logText().split('\n');
    ASSERT_EQ(lines.size(), threads * perThread + 1);
    std::vector<int> next(threads, 0);
    const QRegularExpression pattern(u"^\\S+ thread (\\d) line (\\d+) x{100}$"_s);
    for (int i = 0; i < threads * perThread; ++i) {
        const auto match = pattern.match(QString::fromUtf8(lines[i]));
        ASSERT_TRUE(match.hasMatch() && match.captured(2).toInt() == next[match.captured(1).toInt()]++)
            << lines[i].constData();
    }
}
