#pragma once

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The phone's end of the WebRTC connection: answers the helper's offer with webrtcbin, decodes
// the video, counts the sound packets and checks their numbers, and sends control messages on
// "ovu-input". Callbacks are called on the main thread.
class PhoneViewer {
public:
    struct Picture {
        int width = 0;
        int height = 0;
        QImage image; // RGB, only when asked to keep pictures
        // The colour at the centre, at the probe points, and the time it was decoded.
        QRgb centre = 0;
        QList<QRgb> probes;
        std::chrono::steady_clock::time_point decoded;
    };

    struct Figures {
        int framesDecoded = 0;
        int width = 0;
        int height = 0;
        QString codec;
        std::int64_t bytesReceived = 0;
        int audioPackets = 0;
        std::int64_t audioBytes = 0;
        // Packets whose number was not the one after the previous packet's.
        int audioSequenceBreaks = 0;
        // The data channels the helper opened: label, ordered, retransmission limit (-1: none).
        struct Channel {
            QString label;
            bool ordered = true;
            int maxRetransmits = -1;
        };
        QList<Channel> channels;
    };

    // preferredProfileLevelId: the H.264 entry of the offer the answer keeps ("42e034", "640c34");
    // empty to keep every codec the offer lists.
    explicit PhoneViewer(QString preferredProfileLevelId = {}, bool keepImages = false);
    ~PhoneViewer();
    PhoneViewer(const PhoneViewer&) = delete;
    PhoneViewer& operator=(const PhoneViewer&) = delete;

    std::function<void(const QJsonObject& message)> sendSignal;
    std::function<void(const Picture& picture)> onPicture;
    std::function<void(const QByteArray& packet)> onAudioPacket;
    std::function<void(const QString& state)> onIceState;

    // Points whose colour every picture reports (for measurements); set before the video starts.
    void setProbes(const QList<QPoint>& points);

    // The viewer asks for a key frame every half second until its first picture, as a phone's
    // WebRTC stack does once pictures arrive that it cannot decode. Off, it waits for what the
    // helper sends by itself (a phone that has received nothing yet asks for nothing).
    void askForKeyFrames(bool ask);

    // An "offer" or "ice" message from the helper.
    void receive(const QJsonObject& message);
    // Sends one control message on "ovu-input"; false when the channel is not open.
    bool sendControl(const QByteArray& message);
    bool hasControlChannel() const;

    Figures figures() const;
    // Bytes of video received so far, from the connection's statistics.
    std::int64_t videoBytesReceived() const;
    // The answer sent, once made.
    QString answer() const;

    struct State;

private:
    static constexpr std::chrono::milliseconds keyFrameRequestInterval{500};
    std::shared_ptr<State> m_state;
    QTimer m_keyFrameRequests;
};
