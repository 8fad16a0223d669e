#pragma once

#include "link/LinkMessages.h"
#include "media/VideoSender.h"

#include <QJsonObject>

#include <optional>
#include <variant>

// The sender's signalling as it travels on the link ("offer", "ice"), and the phone's messages
// ("answer", "ice") as the sender takes them, as the model converts them.
namespace Tests {

inline QJsonObject messageOf(const VideoSender::Signal& signal)
{
    if (const auto* offer = std::get_if<RtcSessionDescription>(&signal)) {
        return LinkMessages::Offer{offer->sdp}.json();
    }
    const auto& candidate = std::get<RtcIceCandidate>(signal);
    return LinkMessages::Ice{candidate.sdp, candidate.sdpMLineIndex, candidate.sdpMid}.json();
}

inline std::optional<VideoSender::Signal> signalFrom(const QJsonObject& message)
{
    if (const auto answer = LinkMessages::Answer::from(message)) {
        return RtcSessionDescription{RtcSessionDescription::Type::answer, answer->sdp};
    }
    if (const auto ice = LinkMessages::Ice::from(message)) {
        return RtcIceCandidate{ice->candidate, ice->index, ice->mid};
    }
    return std::nullopt;
}

// Hands the message to the sender when it is an answer or a candidate.
inline void deliver(VideoSender& sender, const QJsonObject& message)
{
    if (const auto signal = signalFrom(message)) {
        sender.receive(*signal);
    }
}

} // namespace Tests
