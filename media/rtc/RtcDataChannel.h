#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

typedef struct _GstWebRTCDataChannel GstWebRTCDataChannel;

// One WebRTC data channel. Messages arrive on a library thread; everything else may be called
// from any thread.
class RtcDataChannel {
public:
    enum class ReadyState { connecting = 0, open = 1, closing = 2, closed = 3 };

    // Takes a reference to the channel.
    explicit RtcDataChannel(GstWebRTCDataChannel* channel);
    ~RtcDataChannel();
    RtcDataChannel(const RtcDataChannel&) = delete;
    RtcDataChannel& operator=(const RtcDataChannel&) = delete;

    QString label() const;
    ReadyState readyState() const;
    std::uint64_t bufferedAmount() const;
    bool ordered() const;
    // -1 when not limited.
    int maxRetransmits() const;
    // Sends one message; false when the channel refused it.
    bool sendData(const QByteArray& data, bool isBinary);
    void close();

    // Every message received, text or binary, with its bytes; called on a library thread.
    void setMessageHandler(std::function<void(const QByteArray& data, bool isBinary)> handler);

private:
    struct Handler;

    GstWebRTCDataChannel* m_channel;
    std::unique_ptr<Handler> m_message;
};
