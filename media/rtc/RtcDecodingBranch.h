#pragma once

#include "media/rtc/RtcTypes.h"
#include "media/rtc/SignalGuard.h"

#include <gst/gst.h>

#include <functional>
#include <mutex>

// The receiving side of a peer connection's video: each video stream webrtcbin brings is decoded
// (H.264 with avdec_h264, VP8 with vp8dec) into RGB pictures handed over one by one; key frames
// are asked for upstream of the first decoder. Thread-safe.
class RtcDecodingBranch {
public:
    explicit RtcDecodingBranch(std::function<void(const RtcDecodedPicture& picture)> pictures);
    RtcDecodingBranch(const RtcDecodingBranch&) = delete;
    RtcDecodingBranch& operator=(const RtcDecodingBranch&) = delete;

    // A pad webrtcbin added to the pipeline; its source pads are decoded.
    void padAdded(GstElement* pipeline, GstPad* pad);
    // Asks the sending end for a key frame (the receiving RTP session turns the request into a
    // picture-loss indication); nothing before the video arrived.
    void requestKeyFrame();
    // No more pictures; returns the reference it owned, for the caller to release once the
    // pipeline has stopped.
    gpointer close();

private:
    static GstFlowReturn onSample(GstElement* sink, gpointer data);

    SignalGuard<const RtcDecodedPicture&> m_pictures;
    std::mutex m_mutex;
    GstElement* m_video = nullptr; // the first decoding bin, a reference of ours
};
