#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// Frames and tags built independently of the channel, for checking it byte by byte.
namespace Tests {

QByteArray hex(const char* text);
QByteArray bigEndian32(std::uint32_t value);
QByteArray bigEndian64(std::uint64_t value);
// A frame: the length of flag and body, the flag, the body.
QByteArray frame(char flag, const QByteArray& body);
// HMAC-SHA256 with OpenSSL's one-shot function (a different path from the channel's).
QByteArray hmac(const QByteArray& key, const QByteArray& data);
// An authenticated frame as the end with this label sends it as its counter-th frame.
QByteArray sealedFrame(const QByteArray& key, char label, std::uint64_t counter, const QByteArray& payload);
// A hex string of the bytes, for readable assertions.
std::string hexOf(const QByteArray& bytes);

} // namespace Tests
