#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// Every message of the link protocol, typed: each has its JSON form (`json`) and a parser that
// checks its fields (`from`, nothing for a message that is not one of its kind or has a field of
// the wrong kind). Keys and values are the protocol's; binary values travel as strict base64.
namespace LinkMessages {

// The type ("t") of a message, empty when it has none.
QString typeOf(const QJsonObject& message);

// Before the proof.

// Phone → helper: the first message.
struct Hello {
    QString id;       // 1 to 64 characters
    QByteArray nonce; // 16 bytes
    std::optional<QString> name;

    QJsonObject json() const;
    static std::optional<Hello> from(const QJsonObject& message);
};

// Helper → phone: the answer to "hello".
struct HelperHello {
    QString id;
    QString name;
    QByteArray nonce; // 16 bytes
    bool known = false;
    QByteArray commitment; // 32 bytes

    QJsonObject json() const;
    static std::optional<HelperHello> from(const QJsonObject& message);
};

// Phone → helper, authenticated: a known phone proves itself.
struct Auth {
    QJsonObject json() const;
    static std::optional<Auth> from(const QJsonObject& message);
};

// Phone → helper: starts pairing with the phone's X25519 key.
struct Pair {
    QByteArray publicKey; // 32 bytes

    QJsonObject json() const;
    static std::optional<Pair> from(const QJsonObject& message);
};

// Helper → phone: the helper's X25519 key and the salt of its commitment.
struct PairAnswer {
    QByteArray publicKey; // 32 bytes
    QByteArray salt;      // 16 bytes

    QJsonObject json() const;
    static std::optional<PairAnswer> from(const QJsonObject& message);
};

// Helper → phone, under the new key: the user's answer.
struct Paired {
    QJsonObject json() const;
    static std::optional<Paired> from(const QJsonObject& message);
};
struct Denied {
    QJsonObject json() const;
    static std::optional<Denied> from(const QJsonObject& message);
};

// After the proof.

// One display as the phone sees it: sizes in points and in pixels.
struct Display {
    std::uint32_t id = 0;
    QString name;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    bool isMain = false;

    bool operator==(const Display&) const = default;
};

// Helper → phone, once the phone is proved and the displays are known.
struct Ready {
    QList<Display> displays;
    bool control = false;
    bool record = false;
    bool sound = false;

    QJsonObject json() const;
    static std::optional<Ready> from(const QJsonObject& message);
};

// Helper → phone: the displays changed.
struct Displays {
    QList<Display> displays;

    QJsonObject json() const;
    static std::optional<Displays> from(const QJsonObject& message);
};

// Helper → phone: whether the phone may control the computer now.
struct Control {
    bool on = false;

    QJsonObject json() const;
    static std::optional<Control> from(const QJsonObject& message);
};

// Phone → helper: "start" or "view", both asking to see a display at a picture height.
struct Show {
    std::optional<std::uint32_t> display;
    // Any whole number: the helper holds it to the heights it sends.
    std::optional<double> height;

    QJsonObject json() const; // as "view"
    static std::optional<Show> from(const QJsonObject& message);
};

// Helper → phone: the display now shown.
struct Showing {
    std::uint32_t display = 0;

    QJsonObject json() const;
    static std::optional<Showing> from(const QJsonObject& message);
};

// The WebRTC signalling: the helper's offer, the phone's answer, and both ends' candidates.
struct Offer {
    QString sdp;

    QJsonObject json() const;
    static std::optional<Offer> from(const QJsonObject& message);
};
struct Answer {
    QString sdp;

    QJsonObject json() const;
    static std::optional<Answer> from(const QJsonObject& message);
};
struct Ice {
    QString candidate;
    // The media line; an index that is no 32-bit integer reads as 0, like a missing one.
    int index = 0;
    std::optional<QString> mid;

    QJsonObject json() const;
    static std::optional<Ice> from(const QJsonObject& message);
};

// Either end: the end of the session; from the helper with a sentence for the phone's user.
struct Bye {
    std::optional<QString> reason;

    QJsonObject json() const;
    static std::optional<Bye> from(const QJsonObject& message);
};

} // namespace LinkMessages
