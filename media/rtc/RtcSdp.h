#pragma once

#include "media/rtc/RtcTypes.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// Reading and amending session descriptions, as text in and text out.
namespace RtcSdp {

// A codec of a media section with its payload type.
struct PayloadCodec {
    int payloadType = 0;
    RtcCodecInfo codec;
};

// The offer with its sent track named ("STREAM TRACK"): every send-only video section without
// one gets "a=msid", and the session "a=msid-semantic: WMS STREAM" in place of any it had. The
// offer unchanged when msid is empty or the text cannot be read.
QString withTrackName(const QString& offer, const QString& msid);

// The codec an answer chose for the video: the first payload type of its first video section
// that lists one and is not rejected (port 0), with that payload type's rtpmap name and fmtp
// parameters.
std::optional<PayloadCodec> negotiatedCodec(const QString& answer);

// The "a=mid" of every media section, by media-line index; empty for a section without one.
std::vector<QString> mediaIds(const QString& sdp);

// The payload type of the first "a=fmtp" that names this profile-level-id.
std::optional<int> payloadTypeFor(const QString& offer, const QString& profileLevelId);

// The answer's video codec as "NAME PROFILE" ("H264 640c34"): the rtpmap name of the first
// payload type of its first video section, and the profile-level-id the offer gave that payload
// type (the name alone when it gave none).
QString answeredCodec(const QString& answer, const QString& offer);

// The codec names of the "a=rtpmap:" lines ("H264/90000"), in order.
QStringList rtpmapNames(const QString& sdp);

// The parameters of an a=fmtp value: "k=v;k=v".
QMap<QString, QString> fmtpParameters(const QString& text);

} // namespace RtcSdp
