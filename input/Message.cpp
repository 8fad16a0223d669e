#include "input/Message.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// A present field of the wrong type makes the whole message undecodable; absent and null leave
// the field empty.
class FieldReader {
public:
    explicit FieldReader(const QJsonObject& object) : m_object(object) {}

    bool failed() const { return m_failed; }

    void number(QLatin1StringView key, std::optional<double>& field)
    {
        const QJsonValue value = m_object.value(key);
        if (isAbsent(value)) {
            return;
        }
        if (!value.isDouble()) {
            m_failed = true;
            return;
        }
        field = value.toDouble();
    }

    // A JSON number that is a whole value within the signed 64-bit range.
    void integer(QLatin1StringView key, std::optional<std::int64_t>& field)
    {
        const QJsonValue value = m_object.value(key);
        if (isAbsent(value)) {
            return;
        }
        const double number = value.toDouble();
        if (!value.isDouble() || !std::isfinite(number) || std::trunc(number) != number || number < -0x1p63 ||
            number >= 0x1p63) {
            m_failed = true;
            return;
        }
        field = static_cast<std::int64_t>(number);
    }

    void string(QLatin1StringView key, std::optional<QString>& field)
    {
        const QJsonValue value = m_object.value(key);
        if (isAbsent(value)) {
            return;
        }
        if (!value.isString()) {
            m_failed = true;
            return;
        }
        field = value.toString();
    }

    void boolean(QLatin1StringView key, std::optional<bool>& field)
    {
        const QJsonValue value = m_object.value(key);
        if (isAbsent(value)) {
            return;
        }
        if (!value.isBool()) {
            m_failed = true;
            return;
        }
        field = value.toBool();
    }

private:
    static bool isAbsent(const QJsonValue& value) { return value.isUndefined() || value.isNull(); }

    const QJsonObject& m_object;
    bool m_failed = false;
};

} // namespace

std::optional<Message> Message::decode(QByteArrayView bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QJsonValue type = object.value("t"_L1);
    if (!type.isString()) {
        return std::nullopt;
    }
    Message message;
    message.t = type.toString();
    FieldReader reader(object);
    reader.number("x"_L1, message.x);
    reader.number("y"_L1, message.y);
    reader.integer("b"_L1, message.b);
    reader.number("dx"_L1, message.dx);
    reader.number("dy"_L1, message.dy);
    reader.string("k"_L1, message.k);
    reader.string("s"_L1, message.s);
    reader.integer("c"_L1, message.c);
    reader.boolean("d"_L1, message.d);
    if (reader.failed()) {
        return std::nullopt;
    }
    return message;
}
