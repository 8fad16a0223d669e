#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <utility>

// One display the helper can show, as the phone sees it.
struct HelperDisplay {
    std::uint32_t id = 0;
    QString name;
    // Size in points, and the display's real size in pixels.
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    bool isMain = false;

    bool operator==(const HelperDisplay&) const = default;

    // The even capture size for a requested picture height: at least 720 lines (unless the
    // display has fewer), never more than the display, at most 8.8 million pixels.
    std::pair<std::int64_t, std::int64_t> captureSize(std::int64_t targetHeight) const;

    static constexpr double maximumPixels = 8'800'000;
};

std::size_t qHash(const HelperDisplay& display, std::size_t seed = 0);

template <>
struct std::hash<HelperDisplay> {
    std::size_t operator()(const HelperDisplay& display) const { return qHash(display); }
};
