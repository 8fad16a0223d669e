#pragma once

#include "media/VideoSender.h"

#include <QJsonObject>

#include <optional>

// The sender's signalling as it travels on the link: its offer and candidates as "offer" and
// "ice" messages, and the phone's "answer" and "ice" messages as the sender takes them.
namespace SignalMessages {

QJsonObject json(const VideoSender::Signal& signal);
// Nothing for a message that is no answer or candidate.
std::optional<VideoSender::Signal> from(const QJsonObject& message);

} // namespace SignalMessages
