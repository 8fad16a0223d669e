#pragma once

#include <cstdint>

// One picture in NV12 ("420v"): a full-size luma plane and a half-size plane of interleaved Cb/Cr,
// 8 bits, video range. Buffers are handed out by a PixelBufferPool as shared pointers: whoever
// holds one (the encoder, for as long as it needs the picture) keeps it out of the pool, and the
// last holder gives it back. Nothing is copied on the way.
class PixelBuffer {
public:
    enum class Matrix { bt601, bt709 };
    enum class Range { video, full };

    // FourCC "420v": bi-planar 4:2:0, video range.
    static constexpr std::uint32_t format = 0x34323076;

    int width() const { return m_width; }
    int height() const { return m_height; }
    std::uint8_t* luma() const { return m_luma; }
    int lumaStride() const { return m_lumaStride; }
    std::uint8_t* chroma() const { return m_chroma; }
    int chromaStride() const { return m_chromaStride; }
    // The whole picture as one block: the luma plane, then the chroma plane.
    const std::uint8_t* data() const { return m_luma; }
    int byteSize() const { return m_lumaStride * m_height + m_chromaStride * ((m_height + 1) / 2); }

    // How the values were made, for the encoder to signal in the stream.
    Matrix matrix = Matrix::bt601;
    Range range = Range::video;

private:
    friend class PixelBufferPoolAccess;
    PixelBuffer(int width, int height);
    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int m_width;
    int m_height;
    int m_lumaStride;
    int m_chromaStride;
    std::uint8_t* m_luma;
    std::uint8_t* m_chroma;
};
