#pragma once

#include <cstdint>
#include <vector>

// A pointer image in premultiplied A, R, G, B words (as X11's XFixes gives it), with its hot spot,
// and the blending of it onto a B, G, R, X picture.
struct CursorImage {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::uint32_t serial = 0;
    std::vector<std::uint32_t> pixels;

    // Draws the pointer whose hot spot is at (x, y) of the picture, clipped to it.
    void blend(std::uint8_t* bgrx, int stride, int pictureWidth, int pictureHeight, int x, int y) const;
};
