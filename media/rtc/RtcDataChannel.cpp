#include "media/rtc/RtcDataChannel.h"

#include "media/rtc/SignalGuard.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

namespace {

using MessageGuard = SignalGuard<const QByteArray&, bool>;

void onData(GstWebRTCDataChannel*, GBytes* data, gpointer user)
{
    gsize size = 0;
    const auto* bytes = static_cast<const char*>(data ? g_bytes_get_data(data, &size) : nullptr);
    MessageGuard::invoke(user, QByteArray(bytes, static_cast<qsizetype>(size)), true);
}

void onString(GstWebRTCDataChannel*, const char* text, gpointer user)
{
    MessageGuard::invoke(user, QByteArray(text ? text : ""), false);
}

} // namespace

struct RtcDataChannel::Handler : MessageGuard {};

RtcDataChannel::RtcDataChannel(GstWebRTCDataChannel* channel)
    : m_channel(static_cast<GstWebRTCDataChannel*>(g_object_ref(channel)))
    , m_message(std::make_unique<Handler>())
{
    g_signal_connect_data(m_channel, "on-message-data", G_CALLBACK(onData), m_message->closureData(),
                          &MessageGuard::destroyClosureData, GConnectFlags(0));
    g_signal_connect_data(m_channel, "on-message-string", G_CALLBACK(onString), m_message->closureData(),
                          &MessageGuard::destroyClosureData, GConnectFlags(0));
}

RtcDataChannel::~RtcDataChannel()
{
    m_message->set(nullptr);
    g_signal_handlers_disconnect_matched(m_channel, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                         reinterpret_cast<gpointer>(onData), nullptr);
    g_signal_handlers_disconnect_matched(m_channel, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                         reinterpret_cast<gpointer>(onString), nullptr);
    g_object_unref(m_channel);
}

void RtcDataChannel::setMessageHandler(std::function<void(const QByteArray&, bool)> handler)
{
    m_message->set(std::move(handler));
}

QString RtcDataChannel::label() const
{
    gchar* label = nullptr;
    g_object_get(m_channel, "label", &label, nullptr);
    const QString text = QString::fromUtf8(label);
    g_free(label);
    return text;
}

RtcDataChannel::ReadyState RtcDataChannel::readyState() const
{
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(m_channel, "ready-state", &state, nullptr);
    switch (state) {
    case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN:
        return ReadyState::open;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING:
        return ReadyState::closing;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED:
        return ReadyState::closed;
    default:
        return ReadyState::connecting;
    }
}

std::uint64_t RtcDataChannel::bufferedAmount() const
{
    guint64 amount = 0;
    g_object_get(m_channel, "buffered-amount", &amount, nullptr);
    return amount;
}

bool RtcDataChannel::ordered() const
{
    gboolean ordered = FALSE;
    g_object_get(m_channel, "ordered", &ordered, nullptr);
    return ordered != FALSE;
}

int RtcDataChannel::maxRetransmits() const
{
    gint retransmits = -1;
    g_object_get(m_channel, "max-retransmits", &retransmits, nullptr);
    return retransmits;
}

bool RtcDataChannel::sendData(const QByteArray& data, bool isBinary)
{
    GError* error = nullptr;
    gboolean sent = FALSE;
    if (isBinary) {
        GBytes* bytes = g_bytes_new(data.constData(), static_cast<gsize>(data.size()));
        sent = gst_webrtc_data_channel_send_data_full(m_channel, bytes, &error);
        g_bytes_unref(bytes);
    } else {
        sent = gst_webrtc_data_channel_send_string_full(m_channel, data.constData(), &error);
    }
    if (error) {
        g_error_free(error);
    }
    return sent != FALSE;
}

void RtcDataChannel::close()
{
    gst_webrtc_data_channel_close(m_channel);
}
