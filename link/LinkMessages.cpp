#include "link/LinkMessages.h"

#include "base/JsonValues.h"
#include "link/Base64.h"
#include "link/Graphemes.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace LinkMessages {

namespace {

constexpr qsizetype nonceSize = 16;
constexpr qsizetype keySize = 32;
constexpr qsizetype saltSize = 16;
constexpr qsizetype maximumIDLength = 64;

bool isType(const QJsonObject& message, QLatin1StringView type)
{
    return message.value(u"t"_s) == QJsonValue(QString(type));
}

// Strict base64 of exactly `size` bytes.
std::optional<QByteArray> bytes(const QJsonValue& value, qsizetype size)
{
    const std::optional<QString> text = JsonValues::string(value);
    std::optional<QByteArray> decoded = text ? Base64::decode(*text) : std::nullopt;
    if (!decoded || decoded->size() != size) {
        return std::nullopt;
    }
    return decoded;
}

QJsonArray displayArray(const QList<Display>& displays)
{
    QJsonArray list;
    for (const Display& display : displays) {
        list.append(QJsonObject{{u"id"_s, double(display.id)},
                                {u"name"_s, display.name},
                                {u"w"_s, double(display.width)},
                                {u"h"_s, double(display.height)},
                                {u"pw"_s, double(display.pixelWidth)},
                                {u"ph"_s, double(display.pixelHeight)},
                                {u"main"_s, display.isMain}});
    }
    return list;
}

std::optional<QList<Display>> displayList(const QJsonValue& value)
{
    if (!value.isArray()) {
        return std::nullopt;
    }
    QList<Display> displays;
    for (const QJsonValue& entry : value.toArray()) {
        const QJsonObject object = entry.toObject();
        const auto id = JsonValues::integer<std::uint32_t>(object.value(u"id"_s));
        const auto name = JsonValues::string(object.value(u"name"_s));
        const auto width = JsonValues::integer<std::int64_t>(object.value(u"w"_s));
        const auto height = JsonValues::integer<std::int64_t>(object.value(u"h"_s));
        const auto pixelWidth = JsonValues::integer<std::int64_t>(object.value(u"pw"_s));
        const auto pixelHeight = JsonValues::integer<std::int64_t>(object.value(u"ph"_s));
        const auto isMain = JsonValues::boolean(object.value(u"main"_s));
        if (!id || !name || !width || !height || !pixelWidth || !pixelHeight || !isMain) {
            return std::nullopt;
        }
        displays.append(Display{*id, *name, *width, *height, *pixelWidth, *pixelHeight, *isMain});
    }
    return displays;
}

} // namespace

QString typeOf(const QJsonObject& message)
{
    return JsonValues::string(message.value(u"t"_s)).value_or(QString());
}

QJsonObject Hello::json() const
{
    QJsonObject message{{u"t"_s, u"hello"_s}, {u"id"_s, id}, {u"nonce"_s, Base64::encode(nonce)}};
    if (name) {
        message.insert(u"name"_s, *name);
    }
    return message;
}

std::optional<Hello> Hello::from(const QJsonObject& message)
{
    const auto id = JsonValues::string(message.value(u"id"_s));
    const auto nonce = bytes(message.value(u"nonce"_s), nonceSize);
    if (!isType(message, "hello"_L1) || !id || id->isEmpty() || Graphemes::count(*id) > maximumIDLength ||
        !nonce) {
        return std::nullopt;
    }
    return Hello{*id, *nonce, JsonValues::string(message.value(u"name"_s))};
}

QJsonObject HelperHello::json() const
{
    return QJsonObject{
        {u"t"_s, u"hello"_s},
        {u"v"_s, 1},
        {u"id"_s, id},
        {u"name"_s, name},
        {u"nonce"_s, Base64::encode(nonce)},
        {u"known"_s, known},
        {u"commit"_s, Base64::encode(commitment)},
    };
}

std::optional<HelperHello> HelperHello::from(const QJsonObject& message)
{
    const auto id = JsonValues::string(message.value(u"id"_s));
    const auto nonce = bytes(message.value(u"nonce"_s), nonceSize);
    const auto commitment = bytes(message.value(u"commit"_s), keySize);
    if (!isType(message, "hello"_L1) || !id || !nonce || !commitment) {
        return std::nullopt;
    }
    return HelperHello{*id, JsonValues::string(message.value(u"name"_s)).value_or(QString()), *nonce,
                       JsonValues::boolean(message.value(u"known"_s)).value_or(false), *commitment};
}

QJsonObject Auth::json() const
{
    return QJsonObject{{u"t"_s, u"auth"_s}};
}

std::optional<Auth> Auth::from(const QJsonObject& message)
{
    return isType(message, "auth"_L1) ? std::optional(Auth{}) : std::nullopt;
}

QJsonObject Pair::json() const
{
    return QJsonObject{{u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(publicKey)}};
}

std::optional<Pair> Pair::from(const QJsonObject& message)
{
    const auto key = bytes(message.value(u"pub"_s), keySize);
    if (!isType(message, "pair"_L1) || !key) {
        return std::nullopt;
    }
    return Pair{*key};
}

QJsonObject PairAnswer::json() const
{
    return QJsonObject{
        {u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(publicKey)}, {u"salt"_s, Base64::encode(salt)}};
}

std::optional<PairAnswer> PairAnswer::from(const QJsonObject& message)
{
    const auto key = bytes(message.value(u"pub"_s), keySize);
    const auto salt = bytes(message.value(u"salt"_s), saltSize);
    if (!isType(message, "pair"_L1) || !key || !salt) {
        return std::nullopt;
    }
    return PairAnswer{*key, *salt};
}

QJsonObject Paired::json() const
{
    return QJsonObject{{u"t"_s, u"paired"_s}};
}

std::optional<Paired> Paired::from(const QJsonObject& message)
{
    return isType(message, "paired"_L1) ? std::optional(Paired{}) : std::nullopt;
}

QJsonObject Denied::json() const
{
    return QJsonObject{{u"t"_s, u"denied"_s}};
}

std::optional<Denied> Denied::from(const QJsonObject& message)
{
    return isType(message, "denied"_L1) ? std::optional(Denied{}) : std::nullopt;
}

QJsonObject Ready::json() const
{
    return QJsonObject{{u"t"_s, u"ready"_s},
                       {u"displays"_s, displayArray(displays)},
                       {u"control"_s, control},
                       {u"record"_s, record},
                       {u"sound"_s, sound}};
}

std::optional<Ready> Ready::from(const QJsonObject& message)
{
    const auto displays = displayList(message.value(u"displays"_s));
    const auto control = JsonValues::boolean(message.value(u"control"_s));
    const auto record = JsonValues::boolean(message.value(u"record"_s));
    const auto sound = JsonValues::boolean(message.value(u"sound"_s));
    if (!isType(message, "ready"_L1) || !displays || !control || !record || !sound) {
        return std::nullopt;
    }
    return Ready{*displays, *control, *record, *sound};
}

QJsonObject Displays::json() const
{
    return QJsonObject{{u"t"_s, u"displays"_s}, {u"displays"_s, displayArray(displays)}};
}

std::optional<Displays> Displays::from(const QJsonObject& message)
{
    const auto displays = displayList(message.value(u"displays"_s));
    if (!isType(message, "displays"_L1) || !displays) {
        return std::nullopt;
    }
    return Displays{*displays};
}

QJsonObject Control::json() const
{
    return QJsonObject{{u"t"_s, u"control"_s}, {u"on"_s, on}};
}

std::optional<Control> Control::from(const QJsonObject& message)
{
    const auto on = JsonValues::boolean(message.value(u"on"_s));
    if (!isType(message, "control"_L1) || !on) {
        return std::nullopt;
    }
    return Control{*on};
}

QJsonObject Show::json() const
{
    QJsonObject message{{u"t"_s, u"view"_s}};
    if (display) {
        message.insert(u"display"_s, double(*display));
    }
    if (height) {
        message.insert(u"h"_s, *height);
    }
    return message;
}

std::optional<Show> Show::from(const QJsonObject& message)
{
    if (!isType(message, "start"_L1) && !isType(message, "view"_L1)) {
        return std::nullopt;
    }
    // A display or height of the wrong kind is no display or height, as if it were absent.
    return Show{JsonValues::integer<std::uint32_t>(message.value(u"display"_s)),
                JsonValues::wholeNumber(message.value(u"h"_s))};
}

QJsonObject Showing::json() const
{
    return QJsonObject{{u"t"_s, u"showing"_s}, {u"display"_s, double(display)}};
}

std::optional<Showing> Showing::from(const QJsonObject& message)
{
    const auto display = JsonValues::integer<std::uint32_t>(message.value(u"display"_s));
    if (!isType(message, "showing"_L1) || !display) {
        return std::nullopt;
    }
    return Showing{*display};
}

QJsonObject Offer::json() const
{
    return QJsonObject{{u"t"_s, u"offer"_s}, {u"sdp"_s, sdp}};
}

std::optional<Offer> Offer::from(const QJsonObject& message)
{
    const auto sdp = JsonValues::string(message.value(u"sdp"_s));
    if (!isType(message, "offer"_L1) || !sdp) {
        return std::nullopt;
    }
    return Offer{*sdp};
}

QJsonObject Answer::json() const
{
    return QJsonObject{{u"t"_s, u"answer"_s}, {u"sdp"_s, sdp}};
}

std::optional<Answer> Answer::from(const QJsonObject& message)
{
    const auto sdp = JsonValues::string(message.value(u"sdp"_s));
    if (!isType(message, "answer"_L1) || !sdp) {
        return std::nullopt;
    }
    return Answer{*sdp};
}

QJsonObject Ice::json() const
{
    QJsonObject message{{u"t"_s, u"ice"_s}, {u"sdp"_s, candidate}, {u"index"_s, index}};
    if (mid) {
        message.insert(u"mid"_s, *mid);
    }
    return message;
}

std::optional<Ice> Ice::from(const QJsonObject& message)
{
    const auto candidate = JsonValues::string(message.value(u"sdp"_s));
    if (!isType(message, "ice"_L1) || !candidate) {
        return std::nullopt;
    }
    return Ice{*candidate, JsonValues::integer<int>(message.value(u"index"_s)).value_or(0),
               JsonValues::string(message.value(u"mid"_s))};
}

QJsonObject Bye::json() const
{
    QJsonObject message{{u"t"_s, u"bye"_s}};
    if (reason) {
        message.insert(u"reason"_s, *reason);
    }
    return message;
}

std::optional<Bye> Bye::from(const QJsonObject& message)
{
    if (!isType(message, "bye"_L1)) {
        return std::nullopt;
    }
    return Bye{JsonValues::string(message.value(u"reason"_s))};
}

} // namespace LinkMessages
