#include "media/PixelBuffer.h"

#include <cstdlib>

namespace {

constexpr int alignment = 64;

int aligned(int value)
{
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

PixelBuffer::PixelBuffer(int width, int height)
    : m_width(width)
    , m_height(height)
    , m_lumaStride(aligned(width))
    , m_chromaStride(aligned(width + (width & 1)))
{
    const std::size_t lumaSize = static_cast<std::size_t>(m_lumaStride) * static_cast<std::size_t>(height);
    const std::size_t chromaSize =
        static_cast<std::size_t>(m_chromaStride) * static_cast<std::size_t>((height + 1) / 2);
    m_luma = static_cast<std::uint8_t*>(std::aligned_alloc(alignment, lumaSize + chromaSize));
    m_chroma = m_luma + lumaSize;
}

PixelBuffer::~PixelBuffer()
{
    std::free(m_luma);
}
