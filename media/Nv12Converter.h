#pragma once

#include "media/PixelBuffer.h"

#include <cstdint>
#include <vector>

// Turns a B, G, R, X picture (libyuv's "ARGB" byte order) into NV12 of the pixel buffer's size:
// scaled first when the sizes differ, then converted with BT.601 video-range coefficients.
class Nv12Converter {
public:
    void convert(const std::uint8_t* bgrx, int stride, int width, int height, PixelBuffer& out);

private:
    std::vector<std::uint8_t> m_scaled;
};
