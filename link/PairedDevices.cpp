#include "link/PairedDevices.h"

#include "base/HelperLog.h"
#include "base/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace {

constexpr QFile::Permissions filePermissions = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

QString PairedDevices::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/OVU Helper"_s;
}

PairedDevices::PairedDevices() : PairedDevices(defaultFolder())
{}

PairedDevices::PairedDevices(const QString& folder) : m_folder(folder), m_url(folder + u"/paired.json"_s)
{
    PrivateFiles::makeFolder(folder);
    prepareIdentity();
    load();
}

void PairedDevices::prepareIdentity()
{
    const QString path = m_folder + u"/helper-id"_s;
    PrivateFiles::removeUnfinished(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        m_helperID = QString::fromUtf8(file.readAll());
    }
    if (m_helperID.isEmpty()) {
        m_helperID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        PrivateFiles::writeAtomically(path, m_helperID.toUtf8());
    }
}

void PairedDevices::load()
{
    // A helper killed while saving leaves its unfinished copy behind; the file itself is always
    // whole, so the copies are only litter.
    PrivateFiles::removeUnfinished(m_url);
    QFile file(m_url);
    if (!file.exists()) {
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        m_unreadable = true;
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isArray()) {
        m_unreadable = true;
        return;
    }
    QList<PairedDevice> devices;
    for (const QJsonValue& element : document.array()) {
        std::optional<PairedDevice> device = PairedDevice::fromJson(element);
        if (!device) {
            m_unreadable = true;
            return;
        }
        devices.append(*device);
    }
    m_devices = devices;
}

std::optional<QByteArray> PairedDevices::key(const QString& id) const
{
    for (const PairedDevice& device : m_devices) {
        if (device.id == id) {
            return device.key;
        }
    }
    return std::nullopt;
}

void PairedDevices::add(const PairedDevice& device)
{
    m_devices.removeIf([&](const PairedDevice& d) { return d.id == device.id; });
    m_devices.append(device);
    save();
    Q_EMIT devicesChanged();
}

void PairedDevices::remove(const PairedDevice& device)
{
    m_devices.removeIf([&](const PairedDevice& d) { return d.id == device.id; });
    save();
    Q_EMIT devicesChanged();
}

void PairedDevices::save()
{
    QJsonArray array;
    for (const PairedDevice& device : m_devices) {
        array.append(device.toJson());
    }
    if (m_unreadable) {
        // Keep the file the user's pairings were in rather than overwrite it.
        m_unreadable = false;
        const QString aside = m_url + u".unreadable"_s;
        QFile::remove(aside);
        if (QFile::rename(m_url, aside)) {
            HelperLog::write(u"paired.json could not be read; kept it as paired.json.unreadable"_s);
        }
    }
    if (PrivateFiles::writeAtomically(m_url, QJsonDocument(array).toJson(QJsonDocument::Compact))) {
        QFile::setPermissions(m_url, filePermissions);
    }
}
