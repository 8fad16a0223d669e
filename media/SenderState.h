#pragma once

#include <QString>

// Where the connection to the phone stands.
struct SenderState {
    enum class Kind { idle, waiting, connected, failed };
    Kind kind = Kind::idle;
    // For failed: a sentence for the user.
    QString message;

    static SenderState idle() { return {Kind::idle, {}}; }
    static SenderState waiting() { return {Kind::waiting, {}}; }
    static SenderState connected() { return {Kind::connected, {}}; }
    static SenderState failed(const QString& message) { return {Kind::failed, message}; }

    bool operator==(const SenderState& other) const
    {
        return kind == other.kind && (kind != Kind::failed || message == other.message);
    }

    // idle, waiting, connected, or failed("…") as the log writes it.
    QString description() const;
};

// How the video is flowing.
struct SenderStats {
    double framesPerSecond = 0;
    double megabitsPerSecond = 0;
    int width = 0;
    int height = 0;
    QString encoder;

    bool operator==(const SenderStats&) const = default;
};
