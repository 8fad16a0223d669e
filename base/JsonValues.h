#pragma once

#include <QJsonValue>

#include <cmath>
#include <limits>
#include <optional>

// Typed reads of JSON values, for everything that arrives from a peer: nothing when the value is
// absent or of another kind.
namespace JsonValues {

// A JSON number that is a whole value in the range of T.
template <typename T>
std::optional<T> integer(const QJsonValue& value)
{
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < double(std::numeric_limits<T>::min()) ||
        number > double(std::numeric_limits<T>::max())) {
        return std::nullopt;
    }
    return static_cast<T>(number);
}

// A JSON number that is a whole value, whatever its size.
inline std::optional<double> wholeNumber(const QJsonValue& value)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble()) ||
        std::trunc(value.toDouble()) != value.toDouble()) {
        return std::nullopt;
    }
    return value.toDouble();
}

inline std::optional<double> number(const QJsonValue& value)
{
    return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
}

inline std::optional<QString> string(const QJsonValue& value)
{
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

inline std::optional<bool> boolean(const QJsonValue& value)
{
    return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
}

} // namespace JsonValues
