// The helper's paired-device store saving as fast as it can, for the test that kills it in the
// middle: each save replaces the one phone with a new version of it (name "vN", key of byte N).
#include "link/PairedDevices.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        return 2;
    }
    PairedDevices store(QString::fromLocal8Bit(argv[1]));
    for (unsigned version = 0;; ++version) {
        store.add(PairedDevice{QStringLiteral("phone"),
                               QStringLiteral("v%1").arg(version),
                               QByteArray(32, static_cast<char>(version % 251)),
                               {}});
    }
}
