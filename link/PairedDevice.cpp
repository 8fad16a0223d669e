#include "link/PairedDevice.h"

#include "link/Base64.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr std::chrono::seconds referenceDate{978'307'200};
// About 250 years either side of it: well inside what the clock's nanoseconds can hold, so a
// damaged file's date cannot overflow the conversion.
constexpr double farthestSeconds = 8e9;

} // namespace

double PairedDevice::secondsSinceReferenceDate(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch() - referenceDate).count();
}

std::chrono::system_clock::time_point PairedDevice::fromSecondsSinceReferenceDate(double seconds)
{
    const double bounded = std::isnan(seconds) ? 0.0 : std::clamp(seconds, -farthestSeconds, farthestSeconds);
    const auto sinceReference = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(bounded));
    return std::chrono::system_clock::time_point(referenceDate + sinceReference);
}

QJsonObject PairedDevice::toJson() const
{
    return QJsonObject{
        {u"id"_s, id},
        {u"name"_s, name},
        {u"key"_s, Base64::encode(key)},
        {u"pairedAt"_s, secondsSinceReferenceDate(pairedAt)},
    };
}

std::optional<PairedDevice> PairedDevice::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const QJsonValue id = object.value(u"id"_s);
    const QJsonValue name = object.value(u"name"_s);
    const QJsonValue key = object.value(u"key"_s);
    const QJsonValue pairedAt = object.value(u"pairedAt"_s);
    if (!id.isString() || !name.isString() || !key.isString() || !pairedAt.isDouble()) {
        return std::nullopt;
    }
    std::optional<QByteArray> keyBytes = Base64::decode(key.toString());
    if (!keyBytes) {
        return std::nullopt;
    }
    return PairedDevice{id.toString(), name.toString(), *keyBytes,
                        fromSecondsSinceReferenceDate(pairedAt.toDouble())};
}
