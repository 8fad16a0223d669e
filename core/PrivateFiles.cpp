#include "core/PrivateFiles.h"

#include <QFile>
#include <QSaveFile>

#include <sys/stat.h>

#include <cerrno>

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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace PrivateFiles
