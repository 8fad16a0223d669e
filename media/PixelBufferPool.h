#pragma once

#include "media/PixelBuffer.h"

#include <memory>

// A fixed number of pixel buffers of one size. acquire() hands out a free one, or nothing when
// every buffer is still held (the capture then skips that picture rather than wait or copy).
// Buffers come back when their last holder lets go, on any thread.
class PixelBufferPool {
public:
    explicit PixelBufferPool(int capacity = 4);
    ~PixelBufferPool();
    PixelBufferPool(const PixelBufferPool&) = delete;
    PixelBufferPool& operator=(const PixelBufferPool&) = delete;

    // A buffer of this size; buffers of another size are let go as they come back.
    std::shared_ptr<PixelBuffer> acquire(int width, int height);
    // Buffers held outside the pool at the moment.
    int buffersInUse() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
