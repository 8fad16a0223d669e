#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <optional>

// One phone the user allowed, with the pairing key agreed when it paired.
struct PairedDevice {
    QString id;
    QString name;
    QByteArray key;
    std::chrono::system_clock::time_point pairedAt;

    bool operator==(const PairedDevice&) const = default;

    // The record as it is stored: "pairedAt" counts seconds since 2001-01-01 00:00:00 UTC.
    QJsonObject toJson() const;
    // Nothing when a key is missing or has the wrong type, or the key is not valid base64.
    static std::optional<PairedDevice> fromJson(const QJsonValue& value);

    static double secondsSinceReferenceDate(std::chrono::system_clock::time_point time);
    static std::chrono::system_clock::time_point fromSecondsSinceReferenceDate(double seconds);
};
