// Arbitrary contents of "paired.json" (and "helper-id") into the paired-device store: loading
// never crashes, what it loads survives a save and a fresh load unchanged, and a file it could
// not read is kept aside instead of being overwritten.
#include "link/PairedDevices.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("store"));
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);

    Fuzz::Records records(data, size);
    std::uint8_t kind = 0;
    QByteArray body;
    QByteArray paired;
    if (records.next(kind, body)) {
        paired = body;
        write(folder + QStringLiteral("/paired.json"), paired);
        if (kind & 1 && records.next(kind, body)) {
            write(folder + QStringLiteral("/helper-id"), body);
        }
    }

    QList<PairedDevice> loaded;
    QString identity;
    {
        PairedDevices store(folder);
        loaded = store.devices();
        identity = store.helperID();
        if (identity.isEmpty()) {
            std::abort();
        }
        // A change makes it save: what was loaded must come back as it was.
        store.add(
            PairedDevice{QStringLiteral("fuzz-device"), QStringLiteral("Fuzz"), QByteArray(32, 'k'), {}});
        store.remove(PairedDevice{QStringLiteral("fuzz-device"), {}, {}, {}});
    }
    PairedDevices again(folder);
    if (again.helperID() != identity) {
        std::abort();
    }
    if (again.devices().size() != loaded.size()) {
        std::abort();
    }
    for (qsizetype i = 0; i < loaded.size(); ++i) {
        const PairedDevice& before = loaded[i];
        const PairedDevice& after = again.devices()[i];
        if (before.id != after.id || before.name != after.name || before.key != after.key) {
            std::abort();
        }
    }
    return 0;
}
