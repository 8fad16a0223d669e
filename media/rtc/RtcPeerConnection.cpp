#include "media/rtc/RtcPeerConnection.h"

#include "base/MainThreadQueue.h"
#include "media/rtc/RtcDecodingBranch.h"
#include "media/rtc/RtcEncodingBranch.h"
#include "media/rtc/RtcNegotiation.h"
#include "media/rtc/RtcPromise.h"
#include "media/rtc/RtcRtpTransceiver.h"
#include "media/rtc/RtcRuntime.h"
#include "media/rtc/RtcStatistics.h"
#include "media/rtc/RtcVideoSource.h"
#include "media/rtc/SignalGuard.h"

#include <QTimer>

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

struct RtcPeerConnection::Core : std::enable_shared_from_this<Core> {
    Core(std::shared_ptr<RtcEncoderFactory> encoders, Delegate callbacks)
        : delegate(std::move(callbacks))
        , sending(std::move(encoders), [this](std::chrono::milliseconds delay, std::function<void()> work) {
            later(delay, std::move(work));
        })
    {
        if (delegate.didDecodePicture) {
            receiving = std::make_unique<RtcDecodingBranch>(delegate.didDecodePicture);
        }
    }
    ~Core() { shutDown(); }

    const Delegate delegate;
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    guint busWatch = 0;
    std::unique_ptr<MainThreadQueue> mainThread = std::make_unique<MainThreadQueue>();
    SignalGuard<guint, const char*> iceCandidate;
    SignalGuard<> iceState;
    SignalGuard<> connectionState;
    SignalGuard<GstWebRTCDataChannel*> dataChannel;
    SignalGuard<GstPad*> padAdded;
    RtcEncodingBranch sending;
    std::unique_ptr<RtcDecodingBranch> receiving;
    std::shared_ptr<RtcNegotiation> negotiation;
    std::atomic<bool> closed = false;

    std::shared_ptr<RtcEncodingBranch> sendingBranch() { return {shared_from_this(), &sending}; }

    void shutDown()
    {
        if (closed.exchange(true)) {
            return;
        }
        if (negotiation) {
            negotiation->close();
        }
        std::vector<gpointer> references = sending.close();
        if (receiving) {
            if (gpointer video = receiving->close()) {
                references.push_back(video);
            }
        }
        iceCandidate.set(nullptr);
        iceState.set(nullptr);
        connectionState.set(nullptr);
        dataChannel.set(nullptr);
        padAdded.set(nullptr);
        if (busWatch) {
            g_source_remove(busWatch);
            busWatch = 0;
        }
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        // The references go once the branches have let go of their locks: disposing of elements
        // takes GStreamer's own locks, which streaming threads hold while they wait for ours.
        webrtc = nullptr;
        if (pipeline) {
            references.push_back(std::exchange(pipeline, nullptr));
        }
        for (gpointer object : references) {
            gst_object_unref(object);
        }
    }

    // Runs the work on the main thread after the delay, if the connection still exists then.
    void later(std::chrono::milliseconds delay, std::function<void()> work)
    {
        mainThread->post([weak = weak_from_this(), delay, work = std::move(work)] {
            QTimer::singleShot(delay, [weak, work] {
                if (auto self = weak.lock()) {
                    work();
                }
            });
        });
    }

    RtcStatsReport report(GstPromise* done)
    {
        const GstStructure* reply =
            gst_promise_wait(done) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(done) : nullptr;
        RtcStatsReport report = RtcStatistics::report(reply);
        sending.addFigures(report);
        return report;
    }

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        auto* core = static_cast<Core*>(data);
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_LATENCY:
            gst_bin_recalculate_latency(GST_BIN(core->pipeline));
            break;
        case GST_MESSAGE_ERROR: {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            if (core->delegate.didReportError) {
                core->delegate.didReportError(QString::fromUtf8(error ? error->message : "error"));
            }
            g_clear_error(&error);
            g_free(debug);
            break;
        }
        default:
            break;
        }
        return TRUE;
    }

    void iceCandidateFound(guint index, const char* text)
    {
        if (delegate.didGenerateIceCandidate) {
            delegate.didGenerateIceCandidate(negotiation->localCandidate(index, text));
        }
    }

    void iceStateChanged()
    {
        GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "ice-connection-state", &state, nullptr);
        if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
            state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) {
            sending.requestKeyFrame();
        }
        if (delegate.didChangeIceConnectionState) {
            delegate.didChangeIceConnectionState(static_cast<RtcIceConnectionState>(state));
        }
    }

    // ICE may be connected before DTLS is: a key frame encoded then is lost to the viewer, and on
    // a still screen nothing else would come before the encoder's next key frame. So once the
    // whole connection is up, more.
    void connectionStateChanged()
    {
        GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "connection-state", &state, nullptr);
        if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
            sending.connected();
        }
    }

    void dataChannelOpened(GstWebRTCDataChannel* channel)
    {
        delegate.didOpenDataChannel(std::make_shared<RtcDataChannel>(channel));
    }

    void padAppeared(GstPad* pad) { receiving->padAdded(pipeline, pad); }

    // Connects a webrtcbin signal to a guard whose function runs on the core while it exists.
    template <typename... Args, typename Handler>
    void connect(const char* signal, GCallback callback, SignalGuard<Args...>& guard, Handler handler)
    {
        guard.set([weak = weak_from_this(), handler](Args... args) {
            if (auto self = weak.lock()) {
                ((*self).*handler)(args...);
            }
        });
        g_signal_connect_data(webrtc, signal, callback, guard.closureData(),
                              &SignalGuard<Args...>::destroyClosureData, GConnectFlags(0));
    }
};

namespace {

void onIceCandidate(GstElement*, guint index, gchar* candidate, gpointer data)
{
    SignalGuard<guint, const char*>::invoke(data, index, candidate);
}

void onStateNotify(GstElement*, GParamSpec*, gpointer data)
{
    SignalGuard<>::invoke(data);
}

void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data)
{
    SignalGuard<GstWebRTCDataChannel*>::invoke(data, channel);
}

void onPadAdded(GstElement*, GstPad* pad, gpointer data)
{
    SignalGuard<GstPad*>::invoke(data, pad);
}

} // namespace

std::unique_ptr<RtcPeerConnection> RtcPeerConnection::create(std::shared_ptr<RtcEncoderFactory> encoders,
                                                             Delegate delegate)
{
    RtcRuntime::init();
    auto core = std::make_shared<Core>(std::move(encoders), std::move(delegate));
    core->pipeline = gst_pipeline_new(nullptr);
    core->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (!core->pipeline || !core->webrtc) {
        if (core->webrtc) {
            gst_object_unref(core->webrtc);
        }
        return nullptr;
    }
    gst_object_ref_sink(core->pipeline);
    gst_util_set_object_arg(G_OBJECT(core->webrtc), "bundle-policy", "max-bundle");
    g_object_set(core->webrtc, "latency", guint(0), nullptr);
    gst_bin_add(GST_BIN(core->pipeline), core->webrtc);
    core->negotiation = std::make_shared<RtcNegotiation>(core->webrtc);

    core->connect("on-ice-candidate", G_CALLBACK(onIceCandidate), core->iceCandidate,
                  &Core::iceCandidateFound);
    core->connect("notify::ice-connection-state", G_CALLBACK(onStateNotify), core->iceState,
                  &Core::iceStateChanged);
    core->connect("notify::connection-state", G_CALLBACK(onStateNotify), core->connectionState,
                  &Core::connectionStateChanged);
    if (core->delegate.didOpenDataChannel) {
        core->connect("on-data-channel", G_CALLBACK(onDataChannel), core->dataChannel,
                      &Core::dataChannelOpened);
    }
    if (core->receiving) {
        core->connect("pad-added", G_CALLBACK(onPadAdded), core->padAdded, &Core::padAppeared);
    }
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(core->pipeline));
    core->busWatch = gst_bus_add_watch(bus, &Core::onBusMessage, core.get());
    gst_object_unref(bus);
    if (gst_element_set_state(core->pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        return nullptr;
    }
    return std::unique_ptr<RtcPeerConnection>(new RtcPeerConnection(std::move(core)));
}

RtcPeerConnection::RtcPeerConnection(std::shared_ptr<Core> core) : m_core(std::move(core))
{}

RtcPeerConnection::~RtcPeerConnection()
{
    close();
}

std::shared_ptr<RtcRtpTransceiver> RtcPeerConnection::addTransceiver(const QString& trackId,
                                                                     const QStringList& streamIds)
{
    if (!m_core->sending.attach(m_core->pipeline, m_core->webrtc)) {
        return nullptr;
    }
    m_core->negotiation->setTrackName(streamIds.value(0, u"ovu"_s) + u' ' + trackId);
    m_transceiver = std::make_shared<RtcRtpTransceiver>(m_core->sendingBranch());
    return m_transceiver;
}

std::shared_ptr<RtcDataChannel> RtcPeerConnection::createDataChannel(const QString& label,
                                                                     const RtcDataChannelInit& init)
{
    GstStructure* options = gst_structure_new("application/data-channel", "ordered", G_TYPE_BOOLEAN,
                                              init.ordered ? TRUE : FALSE, nullptr);
    if (init.maxRetransmits) {
        gst_structure_set(options, "max-retransmits", G_TYPE_INT, *init.maxRetransmits, nullptr);
    }
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(m_core->webrtc, "create-data-channel", label.toUtf8().constData(), options,
                          &channel);
    gst_structure_free(options);
    if (!channel) {
        return nullptr;
    }
    auto wrapped = std::make_shared<RtcDataChannel>(channel);
    g_object_unref(channel);
    return wrapped;
}

std::shared_ptr<RtcVideoSource> RtcPeerConnection::videoSource() const
{
    return std::make_shared<RtcVideoSource>(m_core->sendingBranch());
}

void RtcPeerConnection::createOffer(std::function<void(const Result<RtcSessionDescription>&)> completion)
{
    // webrtcbin negotiates once it runs; the offer comes from the transceiver's codec preferences.
    gst_element_set_state(m_core->pipeline, GST_STATE_PLAYING);
    m_core->negotiation->createOffer(std::move(completion));
}

void RtcPeerConnection::createOfferAndSetLocal(std::function<void(const QString&)> completion)
{
    gst_element_set_state(m_core->pipeline, GST_STATE_PLAYING);
    m_core->negotiation->createOfferAndSetLocal(std::move(completion));
}

void RtcPeerConnection::answer(const RtcSessionDescription& offer, const QString& onlyProfileLevelId,
                               std::function<void(const Result<RtcSessionDescription>&)> completion)
{
    gst_element_set_state(m_core->pipeline, GST_STATE_PLAYING);
    m_core->negotiation->answer(offer, onlyProfileLevelId, std::move(completion));
}

void RtcPeerConnection::setLocalDescription(const RtcSessionDescription& description,
                                            std::function<void(const Result<>&)> completion)
{
    m_core->negotiation->setLocal(description, std::move(completion));
}

void RtcPeerConnection::setRemoteDescription(const RtcSessionDescription& description,
                                             std::function<void(const Result<>&)> completion)
{
    m_core->negotiation->setRemote(description, [weak = std::weak_ptr<Core>(m_core), sdp = description.sdp,
                                                 completion = std::move(completion)](const Result<>& result) {
        if (auto core = weak.lock(); core && result.ok()) {
            // Elements are added and linked from the main thread, not from webrtcbin's own.
            core->mainThread->post([weak, sdp] {
                if (auto self = weak.lock()) {
                    self->sending.build(sdp);
                }
            });
        }
        completion(result);
    });
}

void RtcPeerConnection::addIceCandidate(const RtcIceCandidate& candidate)
{
    m_core->negotiation->addIceCandidate(candidate);
}

void RtcPeerConnection::requestKeyFrame()
{
    m_core->sending.requestKeyFrame();
    if (m_core->receiving) {
        m_core->receiving->requestKeyFrame();
    }
}

void RtcPeerConnection::statistics(std::function<void(const RtcStatsReport&)> completion)
{
    GstPromise* promise = RtcPromise::calling(
        [weak = std::weak_ptr<Core>(m_core), completion = std::move(completion)](GstPromise* done) {
            auto core = weak.lock();
            completion(core ? core->report(done) : RtcStatistics::report(nullptr));
        });
    g_signal_emit_by_name(m_core->webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

RtcStatsReport RtcPeerConnection::statisticsNow() const
{
    if (m_core->closed) {
        return {};
    }
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(m_core->webrtc, "get-stats", nullptr, promise);
    RtcStatsReport report = m_core->report(promise);
    gst_promise_unref(promise);
    return report;
}

void RtcPeerConnection::close()
{
    m_core->shutDown();
    m_transceiver = nullptr;
}

std::optional<RtcEncoderSpec> RtcPeerConnection::negotiatedEncoder() const
{
    return m_core->sending.spec();
}

std::optional<int> RtcPeerConnection::encoderBitrate() const
{
    return m_core->sending.bitrate();
}
