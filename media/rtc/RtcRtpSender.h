#pragma once

#include "media/rtc/RtcTypes.h"

#include <memory>

class RtcEncodingBranch;

// The sending side of the video transceiver: its parameters, read and written back whole.
class RtcRtpSender {
public:
    explicit RtcRtpSender(std::weak_ptr<RtcEncodingBranch> branch);
    RtcRtpParameters parameters() const;
    // False when there is no encoding to set.
    bool setParameters(const RtcRtpParameters& parameters);

private:
    std::weak_ptr<RtcEncodingBranch> m_branch;
};
