#include "media/rtc/RtcRtpSender.h"

#include "media/rtc/RtcEncodingBranch.h"

RtcRtpSender::RtcRtpSender(std::weak_ptr<RtcEncodingBranch> branch) : m_branch(std::move(branch))
{}

RtcRtpParameters RtcRtpSender::parameters() const
{
    auto branch = m_branch.lock();
    return branch ? branch->parameters() : RtcRtpParameters{};
}

bool RtcRtpSender::setParameters(const RtcRtpParameters& parameters)
{
    auto branch = m_branch.lock();
    if (!branch || parameters.encodings.empty()) {
        return false;
    }
    branch->setParameters(parameters);
    return true;
}
