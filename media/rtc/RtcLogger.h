#pragma once

#include <QString>

#include <optional>

// Copies the WebRTC stack's own messages (webrtcbin, ICE, DTLS, SCTP, RTP, the encoders) into the
// helper's log as "webrtc: …". From warning severity up by default; with "-rtclog" from info up,
// kept only when they speak of codecs and encoders.
namespace RtcLogger {

void install(bool rtcLog);

// The log line for one message, or nothing when it is filtered out.
std::optional<QString> lineFor(const QString& message, bool rtcLog);

} // namespace RtcLogger
