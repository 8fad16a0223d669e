// A helper killed (SIGKILL) while it saves its paired-device file, a thousand times: the file is
// always one whole version, old or new, and the unfinished copies of the killed saves are cleared
// away at the next start.
#include "link/PairedDevices.h"
#include "tests/support/Child.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

TEST(StoreKills, EveryKillLeavesAWholeVersion)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"paired.json"_s);
    bool saved = false;
    int checked = 0;
    for (int kill = 0; kill < 1000; ++kill) {
        Tests::Child saver;
        ASSERT_TRUE(saver.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-test-save-loop"_s, {folder.path()}));
        QThread::usleep(2000 + QRandomGenerator::global()->bounded(20000));
        saver.signal(SIGKILL);
        ASSERT_TRUE(saver.wait(5s));

        QFile file(path);
        if (!file.exists()) {
            ASSERT_FALSE(saved) << "the file went missing after kill " << kill;
            continue;
        }
        saved = true;
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        ASSERT_TRUE(document.isArray()) << "kill " << kill << " left a broken file";
        const QJsonArray devices = document.array();
        ASSERT_EQ(devices.size(), 1) << "kill " << kill;
        const QString name = devices[0].toObject().value(u"name"_s).toString();
        ASSERT_TRUE(name.startsWith(u'v')) << name.toStdString();
        // Name and key are of the same version.
        PairedDevices store(folder.path());
        ASSERT_EQ(store.devices().size(), 1);
        EXPECT_EQ(store.devices()[0].key, QByteArray(32, static_cast<char>(name.mid(1).toUInt() % 251)));
        ++checked;
    }
    EXPECT_GT(checked, 900);
    // Only the store's own files are left: no half-written copies from the killed saves.
    const QStringList left = QDir(folder.path()).entryList(QDir::Files);
    EXPECT_EQ(left.join(u' ').toStdString(), "helper-id paired.json");
}
