#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// One buffer of captured sound with its description, as the capture service hands it over.
struct AudioSample {
    static constexpr std::uint32_t linearPCM = 0x6C70636D; // 'lpcm'
    static constexpr std::uint32_t floatFlag = 1;

    struct Description {
        std::uint32_t formatID = linearPCM;
        std::uint32_t formatFlags = floatFlag;
        std::uint32_t bitsPerChannel = 32;
    };
    // One buffer of the list: its channel count and its bytes (empty: no data).
    struct Buffer {
        int channels = 0;
        QByteArray data;
    };

    // Absent when the sample has no format description.
    std::optional<Description> description;
    std::int64_t frameCount = 0;
    // Absent when the buffer list cannot be obtained.
    std::optional<std::vector<Buffer>> buffers;
};
