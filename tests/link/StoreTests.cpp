#include "base/HelperLog.h"
#include "base/PrivateFiles.h"
#include "link/PairedDevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

int modeOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return -1;
    }
    return static_cast<int>(info.st_mode & 07777);
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

PairedDevice device(const QString& id, const QString& name, char keyByte)
{
    return PairedDevice{id, name, QByteArray(32, keyByte),
                        PairedDevice::fromSecondsSinceReferenceDate(818'000'000.123456)};
}

struct StoreFolder {
    QTemporaryDir root;
    QString folder = root.path() + u"/share/OVU Helper"_s;
    QString paired = folder + u"/paired.json"_s;
    QString helperID = folder + u"/helper-id"_s;
};

} // namespace

TEST(Store, TheFolderIsPrivateAndTheIdentityIsMadeOnceAndReadExactly)
{
    StoreFolder f;
    {
        PairedDevices store(f.folder);
        EXPECT_EQ(modeOf(f.folder), 0700);
        EXPECT_EQ(modeOf(f.root.path() + u"/share"_s), 0700) << "missing parents are private too";
        const QString id = QString::fromUtf8(read(f.helperID));
        EXPECT_EQ(id, store.helperID());
        EXPECT_FALSE(QUuid::fromString(id).isNull());
        EXPECT_EQ(id, id.toUpper());
        EXPECT_FALSE(QFile::exists(f.paired)) << "no file until the list changes";
    }
    ASSERT_TRUE(PrivateFiles::writeAtomically(f.helperID, " HELPER-ID with spaces \n"));
    EXPECT_EQ(PairedDevices(f.folder).helperID(), u" HELPER-ID with spaces \n"_s);
    ASSERT_TRUE(PrivateFiles::writeAtomically(f.helperID, ""));
    PairedDevices replaced(f.folder);
    EXPECT_EQ(replaced.helperID().size(), 36) << "an empty identity is replaced";
    // A folder that exists keeps its mode.
    QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup);
    PairedDevices again(f.folder);
    EXPECT_EQ(modeOf(f.folder), 0750);
}

TEST(Store, AddingReplacesAndMovesToTheEndRemovingTakesEveryRecordAndEachChangeIsSaved)
{
    StoreFolder f;
    PairedDevices store(f.folder);
    QSignalSpy changed(&store, &PairedDevices::devicesChanged);
    store.add(device(u"a"_s, u"Phone A"_s, 'a'));
    store.add(device(u"b"_s, u"Phone B"_s, 'b'));
    store.add(device(u"c"_s, u"Phone C"_s, 'c'));
    store.add(device(u"a"_s, u"Phone A again"_s, 'A'));
    EXPECT_EQ(changed.count(), 4);
    EXPECT_EQ(store.key(u"a"_s), QByteArray(32, 'A'));
    EXPECT_FALSE(store.key(u"A"_s)) << "ids are case-sensitive";
    store.remove(PairedDevice{u"b"_s, u"other name"_s, {}, {}});
    QStringList ids;
    for (const PairedDevice& d : store.devices()) {
        ids.append(d.id);
    }
    EXPECT_EQ(ids, (QStringList{u"c"_s, u"a"_s}));
    EXPECT_EQ(PairedDevices(f.folder).devices(), store.devices());
    EXPECT_EQ(modeOf(f.paired), 0600);
}

TEST(Store, RecordsSurviveARelaunchExactlyInTheirFormat)
{
    StoreFolder f;
    {
        PairedDevices store(f.folder);
        store.add(device(u"a"_s, u"Anna’s phone 📱"_s, 'a'));
    }
    PairedDevices reloaded(f.folder);
    ASSERT_EQ(reloaded.devices().size(), 1);
    EXPECT_EQ(reloaded.devices()[0], device(u"a"_s, u"Anna’s phone 📱"_s, 'a'));
    // Compact JSON, a base64 key of 44 characters, seconds since 2001-01-01 with a fraction.
    const QByteArray text = read(f.paired);
    EXPECT_FALSE(text.contains('\n'));
    const QJsonObject record = QJsonDocument::fromJson(text).array()[0].toObject();
    EXPECT_EQ(record.value(u"key"_s).toString().size(), 44);
    EXPECT_DOUBLE_EQ(record.value(u"pairedAt"_s).toDouble(), 818'000'000.123456);
    const auto reference = std::chrono::system_clock::time_point(std::chrono::seconds(978'307'200));
    EXPECT_DOUBLE_EQ(PairedDevice::secondsSinceReferenceDate(reference), 0) << "2001-01-01 UTC";

    // Found by fuzzing: a date beyond the clock's range overflowed the conversion.
    ASSERT_TRUE(PrivateFiles::writeAtomically(f.paired, R"([{"id":"far","name":"Far","key":")" +
                                                            QByteArray(32, 'k').toBase64() +
                                                            R"(","pairedAt":1e300}])"));
    PairedDevices far(f.folder);
    ASSERT_EQ(far.devices().size(), 1);
    EXPECT_NEAR(PairedDevice::secondsSinceReferenceDate(far.devices()[0].pairedAt), 8e9, 1);
}

// Saving whole versions only, killed at any moment, is the kill test's.
TEST(Store, OnlyTheStoresOwnUnfinishedCopiesAreCleared)
{
    StoreFolder f;
    {
        PairedDevices store(f.folder);
        store.add(device(u"a"_s, u"A"_s, 'a'));
        store.add(device(u"b"_s, u"B"_s, 'b'));
    }
    // A user's backup, whatever its name, stays.
    const QStringList kept = {u"PAIRED.JSON.saving-AbC123"_s, u"other.json.saving-AbC123"_s,
                              u"paired.json.backup"_s, u"paired.json.saving-AbC1234"_s};
    for (const QString& name :
         kept + QStringList{u"paired.json.saving-AbC123"_s, u"helper-id.saving-xyzXYZ"_s}) {
        ASSERT_TRUE(PrivateFiles::writeAtomically(f.folder + u'/' + name, "[{"));
    }
    PairedDevices store(f.folder);
    EXPECT_EQ(store.devices().size(), 2);
    QStringList expected = kept + QStringList{u"helper-id"_s, u"paired.json"_s};
    expected.sort();
    EXPECT_EQ(QDir(f.folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

TEST(Store, AnUnreadableFileLoadsEmptyAndIsKeptAsideBeforeTheNextSave)
{
    const QList<QByteArray> broken = {
        R"([{"id":"a","name":"A","key":"YWFh"}])",                       // no pairedAt
        R"([{"id":"a","name":"A","key":"not base64!","pairedAt":1.5}])", // bad key
        R"([{"id":1,"name":"A","key":"YWFh","pairedAt":1.5}])",          // wrong type
        R"({"id":"a"})",                                                 // not an array
        "garbage",
    };
    for (const QByteArray& content : broken) {
        StoreFolder f;
        QDir().mkpath(f.folder);
        const QByteArray good = R"({"id":"ok","name":"Kept","key":"YWFh","pairedAt":2.5})";
        ASSERT_TRUE(PrivateFiles::writeAtomically(f.paired, "[" + good + "," + content + "]"));
        PairedDevices store(f.folder);
        EXPECT_TRUE(store.devices().isEmpty()) << content.constData();
        EXPECT_EQ(read(f.paired), "[" + good + "," + content + "]") << "nothing is touched until a change";
        store.add(device(u"new"_s, u"New"_s, 'n'));
        store.add(device(u"newer"_s, u"Newer"_s, 'm'));
        EXPECT_EQ(read(f.paired + u".unreadable"_s), "[" + good + "," + content + "]") << "kept aside once";
        EXPECT_EQ(QJsonDocument::fromJson(read(f.paired)).array().size(), 2);
    }
    HelperLog::flush();
    EXPECT_TRUE(
        read(HelperLog::path()).contains("paired.json could not be read; kept it as paired.json.unreadable"));
    // A missing file is no unreadable one.
    StoreFolder f;
    PairedDevices store(f.folder);
    store.add(device(u"a"_s, u"A"_s, 'a'));
    EXPECT_FALSE(QFile::exists(f.paired + u".unreadable"_s));
}
