#include "base/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace PrivateFiles {

bool makeFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    for (qsizetype i = 1; i <= native.size(); ++i) {
        if (i < native.size() && native[i] != '/') {
            continue;
        }
        const QByteArray part = native.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeAtomically(const QString& path, const QByteArray& bytes)
{
    // QTemporaryFile makes the file 0600 and replaces the Xs with letters.
    QTemporaryFile file(path + u".saving-XXXXXX"_s);
    if (!file.open()) {
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        return false;
    }
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        return false;
    }
    file.setAutoRemove(false);
    // The new name itself survives a crash once the folder is synced.
    const int folder =
        ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

void removeUnfinished(const QString& path)
{
    const QFileInfo info(path);
    const QRegularExpression unfinished(u"^"_s + QRegularExpression::escape(info.fileName()) +
                                        u"\\.saving-[A-Za-z0-9]{6}$"_s);
    QDir folder = info.absoluteDir();
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (unfinished.match(name).hasMatch()) {
            folder.remove(name);
        }
    }
}

} // namespace PrivateFiles
