#include "media/Nv12Converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

void Nv12Converter::convert(const std::uint8_t* bgrx, int stride, int width, int height, PixelBuffer& out)
{
    const std::uint8_t* source = bgrx;
    int sourceStride = stride;
    if (width != out.width() || height != out.height()) {
        sourceStride = out.width() * 4;
        m_scaled.resize(static_cast<std::size_t>(sourceStride) * static_cast<std::size_t>(out.height()));
        libyuv::ARGBScale(bgrx, stride, width, height, m_scaled.data(), sourceStride, out.width(),
                          out.height(), libyuv::kFilterBilinear);
        source = m_scaled.data();
    }
    libyuv::ARGBToNV12(source, sourceStride, out.luma(), out.lumaStride(), out.chroma(), out.chromaStride(),
                       out.width(), out.height());
    out.matrix = PixelBuffer::Matrix::bt601;
    out.range = PixelBuffer::Range::video;
}
