#pragma once

#include "core/SignalMessages.h"

namespace Tests {

// Hands a phone's message to the sender when it is an answer or a candidate, as the model does.
inline void deliver(VideoSender& sender, const QJsonObject& message)
{
    if (const auto signal = SignalMessages::from(message)) {
        sender.receive(*signal);
    }
}

// The sender's signalling as it travels on the link.
inline QJsonObject messageOf(const VideoSender::Signal& signal)
{
    return SignalMessages::json(signal);
}

} // namespace Tests
