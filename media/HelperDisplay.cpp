#include "media/HelperDisplay.h"

#include <QHashFunctions>

#include <algorithm>
#include <cmath>

std::pair<std::int64_t, std::int64_t> HelperDisplay::captureSize(std::int64_t targetHeight) const
{
    auto h = static_cast<double>(std::min(pixelHeight, std::max<std::int64_t>(targetHeight, 720)));
    const double aspect =
        static_cast<double>(pixelWidth) / static_cast<double>(std::max<std::int64_t>(pixelHeight, 1));
    if (h * h * aspect > maximumPixels) {
        h = std::trunc(std::sqrt(maximumPixels / aspect));
    }
    const auto w = static_cast<std::int64_t>(std::round(aspect * h));
    const auto height = static_cast<std::int64_t>(h);
    return {w & ~std::int64_t(1), height & ~std::int64_t(1)};
}

std::size_t qHash(const HelperDisplay& display, std::size_t seed)
{
    return qHashMulti(seed, display.id, display.name, display.width, display.height, display.pixelWidth,
                      display.pixelHeight, display.isMain);
}
