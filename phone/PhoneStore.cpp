#include "phone/PhoneStore.h"

#include "base/PrivateFiles.h"
#include "link/Base64.h"
#include "link/PairedDevice.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace {

QJsonArray readPairings(const QString& folder)
{
    QFile file(folder + u"/pairings.json"_s);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QJsonDocument::fromJson(file.readAll()).array();
}

} // namespace

QString PhoneStore::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/ovu-phone"_s;
}

PhoneStore::PhoneStore() : PhoneStore(defaultFolder())
{}

PhoneStore::PhoneStore(const QString& folder) : m_folder(folder)
{
    PrivateFiles::makeFolder(folder);
    const QString path = folder + u"/phone-id"_s;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        m_phoneID = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (m_phoneID.isEmpty()) {
        m_phoneID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        PrivateFiles::writeAtomically(path, m_phoneID.toUtf8());
    }
}

QString PhoneStore::name() const
{
    QFile file(m_folder + u"/phone-name"_s);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void PhoneStore::setName(const QString& name)
{
    PrivateFiles::writeAtomically(m_folder + u"/phone-name"_s, name.toUtf8());
}

std::optional<QByteArray> PhoneStore::key(const QString& helperID) const
{
    for (const QJsonValue& entry : readPairings(m_folder)) {
        const QJsonObject pairing = entry.toObject();
        if (pairing.value(u"helperID"_s).toString() == helperID) {
            return Base64::decode(pairing.value(u"key"_s).toString());
        }
    }
    return std::nullopt;
}

bool PhoneStore::add(const QString& helperID, const QString& computerName, const QByteArray& key)
{
    QJsonArray pairings;
    for (const QJsonValue& entry : readPairings(m_folder)) {
        if (entry.toObject().value(u"helperID"_s).toString() != helperID) {
            pairings.append(entry);
        }
    }
    pairings.append(QJsonObject{
        {u"helperID"_s, helperID},
        {u"name"_s, computerName},
        {u"key"_s, Base64::encode(key)},
        {u"pairedAt"_s, PairedDevice::secondsSinceReferenceDate(std::chrono::system_clock::now())},
    });
    return PrivateFiles::writeAtomically(m_folder + u"/pairings.json"_s, QJsonDocument(pairings).toJson());
}
