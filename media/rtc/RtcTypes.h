#pragma once

#include <QMap>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

// The values that travel between the video sender and the WebRTC implementation.

// A codec as offered or negotiated: its name ("H264", "VP8") and its format parameters.
struct RtcCodecInfo {
    QString name;
    QMap<QString, QString> parameters;

    bool operator==(const RtcCodecInfo&) const = default;
};

struct RtcSessionDescription {
    enum class Type { offer, answer };
    Type type = Type::offer;
    QString sdp;
};

struct RtcIceCandidate {
    QString sdp;
    int sdpMLineIndex = 0;
    std::optional<QString> sdpMid;
};

// ICE connection states, with the library's numbers.
enum class RtcIceConnectionState {
    newState = 0,
    checking = 1,
    connected = 2,
    completed = 3,
    failed = 4,
    disconnected = 5,
    closed = 6,
};

enum class RtcDegradationPreference {
    disabled = 0,
    maintainFramerate = 1,
    maintainResolution = 2,
    balanced = 3
};

struct RtcRtpEncodingParameters {
    std::optional<int> minBitrateBps;
    std::optional<int> maxBitrateBps;
    std::optional<int> maxFramerate;
};

struct RtcRtpParameters {
    std::optional<RtcDegradationPreference> degradationPreference;
    std::vector<RtcRtpEncodingParameters> encodings;
};

struct RtcDataChannelInit {
    bool ordered = true;
    std::optional<int> maxRetransmits;
};

// A statistics report: entries by id, each with its type ("outbound-rtp", "codec", …) and its
// values by name ("bytesSent", "mimeType", …).
struct RtcStatsReport {
    struct Entry {
        QString type;
        QVariantMap values;
    };
    QMap<QString, Entry> statistics;
};

// One decoded picture: RGB, three bytes a pixel, rows of `stride` bytes. The bytes are the
// library's and valid only during the call that hands them over.
struct RtcDecodedPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    // Nothing when the picture could not be read.
    const std::uint8_t* rgb = nullptr;
    std::chrono::steady_clock::time_point decoded;
};
