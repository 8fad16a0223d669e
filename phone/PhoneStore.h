#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The phone's own identity and the pairing keys it agreed with helpers, kept under
// $XDG_CONFIG_HOME/ovu-phone/: "phone-id" and "pairings.json" (0600, in a 0700 folder).
class PhoneStore {
public:
    PhoneStore();
    explicit PhoneStore(const QString& folder);

    static QString defaultFolder();

    const QString& phoneID() const { return m_phoneID; }
    const QString& folder() const { return m_folder; }

    // The name this phone gives itself, as last chosen with --name (empty when never chosen).
    QString name() const;
    void setName(const QString& name);

    // The pairing key agreed with the helper whose identity this is.
    std::optional<QByteArray> key(const QString& helperID) const;
    // Remembers (or replaces) the pairing with a helper.
    bool add(const QString& helperID, const QString& computerName, const QByteArray& key);

private:
    QString m_folder;
    QString m_phoneID;
};
