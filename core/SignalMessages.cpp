#include "core/SignalMessages.h"

#include "link/LinkMessages.h"

namespace SignalMessages {

QJsonObject json(const VideoSender::Signal& signal)
{
    if (const auto* offer = std::get_if<RtcSessionDescription>(&signal)) {
        return LinkMessages::Offer{offer->sdp}.json();
    }
    const auto& candidate = std::get<RtcIceCandidate>(signal);
    return LinkMessages::Ice{candidate.sdp, candidate.sdpMLineIndex, candidate.sdpMid}.json();
}

std::optional<VideoSender::Signal> from(const QJsonObject& message)
{
    if (const auto answer = LinkMessages::Answer::from(message)) {
        return RtcSessionDescription{RtcSessionDescription::Type::answer, answer->sdp};
    }
    if (const auto ice = LinkMessages::Ice::from(message)) {
        return RtcIceCandidate{ice->candidate, ice->index, ice->mid};
    }
    return std::nullopt;
}

} // namespace SignalMessages
