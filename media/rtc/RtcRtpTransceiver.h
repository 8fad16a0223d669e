#pragma once

#include "media/rtc/RtcTypes.h"

#include <memory>
#include <vector>

class RtcEncodingBranch;
class RtcRtpSender;

// The peer connection's video transceiver, send-only.
class RtcRtpTransceiver {
public:
    explicit RtcRtpTransceiver(std::weak_ptr<RtcEncodingBranch> branch);
    // The codecs to offer, in order of preference.
    bool setCodecPreferences(const std::vector<RtcCodecInfo>& codecs);
    std::shared_ptr<RtcRtpSender> sender() const { return m_sender; }

private:
    std::weak_ptr<RtcEncodingBranch> m_branch;
    std::shared_ptr<RtcRtpSender> m_sender;
};
