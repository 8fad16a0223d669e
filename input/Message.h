#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

// One control message from the phone: a JSON object with the type "t" and the fields of that
// type. Every field but "t" may be absent.
struct Message {
    QString t;
    std::optional<double> x;
    std::optional<double> y;
    std::optional<std::int64_t> b;
    std::optional<double> dx;
    std::optional<double> dy;
    std::optional<QString> k;
    std::optional<QString> s;
    std::optional<std::int64_t> c;
    std::optional<bool> d;

    // Nothing unless the bytes are one UTF-8 JSON object with a string "t" whose known fields
    // all have their types (numbers; integers for "b" and "c"; strings; a boolean "d"). A field
    // that is null counts as absent; keys that are not known are ignored.
    static std::optional<Message> decode(QByteArrayView bytes);
};
