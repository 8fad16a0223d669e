#pragma once

#include <QByteArray>
#include <QString>

// Files that only the user may read: folders 0700, files 0600.
namespace PrivateFiles {

// Creates the folder and every missing parent with mode 0700; existing folders are left alone.
// Safe to call from any thread.
bool makeFolder(const QString& path);

// Writes the file through a temporary file beside it ("NAME.saving-" and six letters or digits)
// that is synced and renamed into place, so a reader (or a crash) only ever sees the old or the
// new content. The file is 0600 from its first byte.
bool writeAtomically(const QString& path, const QByteArray& bytes);

// Removes the temporary files that writeAtomically(path, …) leaves when the process is killed
// while it writes; nothing else.
void removeUnfinished(const QString& path);

} // namespace PrivateFiles
