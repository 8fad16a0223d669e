#include "media/CursorImage.h"

#include <algorithm>

void CursorImage::blend(std::uint8_t* bgrx, int stride, int pictureWidth, int pictureHeight, int x,
                        int y) const
{
    const int left = x - hotX;
    const int top = y - hotY;
    const int fromRow = std::max(0, -top);
    const int toRow = std::min(height, pictureHeight - top);
    const int fromColumn = std::max(0, -left);
    const int toColumn = std::min(width, pictureWidth - left);
    for (int row = fromRow; row < toRow; ++row) {
        std::uint8_t* line = bgrx + static_cast<std::ptrdiff_t>(top + row) * stride;
        for (int column = fromColumn; column < toColumn; ++column) {
            const std::uint32_t pixel = pixels[static_cast<std::size_t>(row * width + column)];
            const std::uint32_t alpha = pixel >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* target = line + (left + column) * 4;
            const std::uint32_t inverse = 255 - alpha;
            // Premultiplied: result = cursor + picture × (1 − alpha).
            target[0] = static_cast<std::uint8_t>((pixel & 0xFF) + (target[0] * inverse + 127) / 255);
            target[1] = static_cast<std::uint8_t>(((pixel >> 8) & 0xFF) + (target[1] * inverse + 127) / 255);
            target[2] = static_cast<std::uint8_t>(((pixel >> 16) & 0xFF) + (target[2] * inverse + 127) / 255);
        }
    }
}
