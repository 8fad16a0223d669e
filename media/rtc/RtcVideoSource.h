#pragma once

#include "media/PixelBuffer.h"

#include <chrono>
#include <memory>

class RtcEncodingBranch;

// Takes captured pictures into the encoding branch without copying them: each buffer stays held
// until the encoder is done with it. When the encoder falls behind, pictures are dropped.
class RtcVideoSource {
public:
    explicit RtcVideoSource(std::weak_ptr<RtcEncodingBranch> branch);
    // Called on the capture thread; time on the monotonic clock.
    void capturer(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time);

private:
    std::weak_ptr<RtcEncodingBranch> m_branch;
};
