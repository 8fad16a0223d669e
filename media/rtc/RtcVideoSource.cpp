#include "media/rtc/RtcVideoSource.h"

#include "media/rtc/RtcEncodingBranch.h"

RtcVideoSource::RtcVideoSource(std::weak_ptr<RtcEncodingBranch> branch) : m_branch(std::move(branch))
{}

void RtcVideoSource::capturer(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time)
{
    if (auto branch = m_branch.lock()) {
        branch->push(buffer, time);
    }
}
