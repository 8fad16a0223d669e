#pragma once

#include "link/PairedDevice.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// The phones the user allowed, kept in memory and in "paired.json", and the helper's own
// identity in "helper-id", both in the folder "OVU Helper" under $XDG_DATA_HOME.
class PairedDevices : public QObject {
    Q_OBJECT

public:
    // The store in the user's data folder.
    PairedDevices();
    // The store in the given folder (created when missing).
    explicit PairedDevices(const QString& folder);

    static QString defaultFolder();

    const QList<PairedDevice>& devices() const { return m_devices; }
    const QString& helperID() const { return m_helperID; }
    const QString& url() const { return m_url; }
    const QString& folder() const { return m_folder; }

    // The key of the first device with exactly this id (letter case counts).
    std::optional<QByteArray> key(const QString& id) const;
    // Replaces any device with the same id; the new record goes to the end of the list.
    void add(const PairedDevice& device);
    // Removes every device with the device's id.
    void remove(const PairedDevice& device);

Q_SIGNALS:
    void devicesChanged();

private:
    void prepareIdentity();
    void load();
    void save();

    QString m_folder;
    QString m_url;
    QString m_helperID;
    QList<PairedDevice> m_devices;
    // paired.json was there but could not be read: it is kept aside before the next save.
    bool m_unreadable = false;
};
