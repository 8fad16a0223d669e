#include "media/rtc/RtcRtpTransceiver.h"

#include "media/rtc/RtcEncodingBranch.h"
#include "media/rtc/RtcRtpSender.h"

RtcRtpTransceiver::RtcRtpTransceiver(std::weak_ptr<RtcEncodingBranch> branch)
    : m_branch(branch)
    , m_sender(std::make_shared<RtcRtpSender>(branch))
{}

bool RtcRtpTransceiver::setCodecPreferences(const std::vector<RtcCodecInfo>& codecs)
{
    auto branch = m_branch.lock();
    return branch && branch->setCodecPreferences(codecs);
}
