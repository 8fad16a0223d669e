#include "media/rtc/RtcNegotiation.h"

#include "media/rtc/RtcPromise.h"
#include "media/rtc/RtcSdp.h"

#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString unreadable = u"The session description cannot be read."_s;

GstWebRTCSessionDescription* parseDescription(const RtcSessionDescription& description)
{
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(description.sdp.toUtf8().constData(), &sdp) != GST_SDP_OK) {
        return nullptr;
    }
    return gst_webrtc_session_description_new(description.type == RtcSessionDescription::Type::offer
                                                  ? GST_WEBRTC_SDP_TYPE_OFFER
                                                  : GST_WEBRTC_SDP_TYPE_ANSWER,
                                              sdp);
}

// The description a reply carries under this name ("offer", "answer").
Result<RtcSessionDescription> describedIn(GstPromise* promise, const char* name,
                                          RtcSessionDescription::Type type)
{
    if (const Result<> outcome = RtcPromise::outcome(promise); !outcome.ok()) {
        return Failure{outcome.error()};
    }
    const GstStructure* reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription* description = nullptr;
    if (!reply ||
        !gst_structure_get(reply, name, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description, nullptr) ||
        !description) {
        return Failure{u"No session description was made."_s};
    }
    gchar* text = gst_sdp_message_as_text(description->sdp);
    RtcSessionDescription made{type, QString::fromUtf8(text)};
    g_free(text);
    gst_webrtc_session_description_free(description);
    return made;
}

} // namespace

RtcNegotiation::RtcNegotiation(GstElement* webrtc) : m_webrtc(GST_ELEMENT(gst_object_ref(webrtc)))
{}

RtcNegotiation::~RtcNegotiation()
{
    gst_object_unref(m_webrtc);
}

void RtcNegotiation::setTrackName(const QString& msid)
{
    std::lock_guard lock(m_mutex);
    m_msid = msid;
}

void RtcNegotiation::createOffer(std::function<void(const Result<RtcSessionDescription>&)> completion)
{
    GstPromise* promise =
        RtcPromise::calling([weak = weak_from_this(), completion = std::move(completion)](GstPromise* done) {
            Result<RtcSessionDescription> offer =
                describedIn(done, "offer", RtcSessionDescription::Type::offer);
            if (auto self = weak.lock(); self && offer.ok()) {
                std::lock_guard lock(self->m_mutex);
                offer.value().sdp = RtcSdp::withTrackName(offer.value().sdp, self->m_msid);
            }
            completion(offer);
        });
    g_signal_emit_by_name(m_webrtc, "create-offer", nullptr, promise);
    gst_promise_unref(promise);
}

void RtcNegotiation::createOfferAndSetLocal(std::function<void(const QString&)> completion)
{
    createOffer([weak = weak_from_this(),
                 completion = std::move(completion)](const Result<RtcSessionDescription>& offer) {
        auto self = weak.lock();
        if (!offer.ok() || !self || self->m_closed) {
            return;
        }
        self->setLocal(offer.value(),
                       [completion, sdp = offer.value().sdp](const Result<>&) { completion(sdp); });
    });
}

void RtcNegotiation::answer(const RtcSessionDescription& offer, const QString& onlyProfileLevelId,
                            std::function<void(const Result<RtcSessionDescription>&)> completion)
{
    GstWebRTCSessionDescription* parsed = parseDescription(offer);
    if (!parsed) {
        completion(Failure{unreadable});
        return;
    }
    const std::optional<int> keep =
        onlyProfileLevelId.isEmpty() ? std::nullopt : RtcSdp::payloadTypeFor(offer.sdp, onlyProfileLevelId);
    GstPromise* promise = RtcPromise::calling(
        [weak = weak_from_this(), keep, onlyProfileLevelId, completion = std::move(completion)](GstPromise*) {
            if (auto self = weak.lock()) {
                self->makeAnswer(keep, onlyProfileLevelId, completion);
            }
        });
    g_signal_emit_by_name(m_webrtc, "set-remote-description", parsed, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(parsed);
}

void RtcNegotiation::makeAnswer(std::optional<int> keepPayload, const QString& profileLevelId,
                                std::function<void(const Result<RtcSessionDescription>&)> completion)
{
    if (keepPayload) {
        // A receiving transceiver that accepts only that entry: the answer then names that payload
        // type alone.
        GstCaps* caps = gst_caps_new_simple(
            "application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name", G_TYPE_STRING, "H264",
            "payload", G_TYPE_INT, *keepPayload, "clock-rate", G_TYPE_INT, 90000, "profile-level-id",
            G_TYPE_STRING, profileLevelId.toUtf8().constData(), "packetization-mode", G_TYPE_STRING, "1",
            "level-asymmetry-allowed", G_TYPE_STRING, "1", nullptr);
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_signal_emit_by_name(m_webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                              caps, &transceiver);
        gst_caps_unref(caps);
        if (transceiver) {
            gst_object_unref(transceiver);
        }
    }
    GstPromise* promise =
        RtcPromise::calling([weak = weak_from_this(), completion = std::move(completion)](GstPromise* done) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const Result<RtcSessionDescription> answer =
                describedIn(done, "answer", RtcSessionDescription::Type::answer);
            if (answer.ok()) {
                self->setLocalNow(answer.value());
            }
            completion(answer);
        });
    g_signal_emit_by_name(m_webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
}

void RtcNegotiation::setLocal(const RtcSessionDescription& description,
                              std::function<void(const Result<>&)> completion)
{
    setDescription(true, description, std::move(completion));
}

// Sets the local description without waiting for the outcome.
void RtcNegotiation::setLocalNow(const RtcSessionDescription& description)
{
    setDescription(true, description, nullptr);
}

void RtcNegotiation::setRemote(const RtcSessionDescription& description,
                               std::function<void(const Result<>&)> completion)
{
    setDescription(false, description, std::move(completion));
}

// The local or the remote description; a local one also names the media lines' ids. Without a
// completion nothing waits for the outcome (and a description that cannot be read is dropped).
void RtcNegotiation::setDescription(bool local, const RtcSessionDescription& description,
                                    std::function<void(const Result<>&)> completion)
{
    GstWebRTCSessionDescription* parsed = parseDescription(description);
    if (!parsed) {
        if (completion) {
            completion(Failure{unreadable});
        }
        return;
    }
    if (local) {
        setMediaIds(description.sdp);
    }
    GstPromise* promise = completion
                              ? RtcPromise::calling([completion = std::move(completion)](GstPromise* done) {
                                    completion(RtcPromise::outcome(done));
                                })
                              : nullptr;
    g_signal_emit_by_name(m_webrtc, local ? "set-local-description" : "set-remote-description", parsed,
                          promise);
    if (promise) {
        gst_promise_unref(promise);
    }
    gst_webrtc_session_description_free(parsed);
}

void RtcNegotiation::addIceCandidate(const RtcIceCandidate& candidate)
{
    QString line = candidate.sdp.trimmed();
    if (line.startsWith(u"a="_s)) {
        line = line.mid(2);
    }
    if (line.isEmpty() || m_closed) {
        return; // the end of candidates
    }
    g_signal_emit_by_name(m_webrtc, "add-ice-candidate", guint(std::max(0, candidate.sdpMLineIndex)),
                          line.toUtf8().constData());
}

void RtcNegotiation::setMediaIds(const QString& sdp)
{
    std::vector<QString> ids = RtcSdp::mediaIds(sdp);
    std::lock_guard lock(m_mutex);
    m_mids = std::move(ids);
}

RtcIceCandidate RtcNegotiation::localCandidate(unsigned index, const char* text) const
{
    RtcIceCandidate candidate{QString::fromUtf8(text), static_cast<int>(index), std::nullopt};
    std::lock_guard lock(m_mutex);
    if (index < m_mids.size() && !m_mids[index].isEmpty()) {
        candidate.sdpMid = m_mids[index];
    }
    return candidate;
}

void RtcNegotiation::close()
{
    m_closed = true;
}
