#include "media/PixelBufferPool.h"

#include <mutex>
#include <vector>

struct PixelBufferPool::State {
    int capacity = 0;
    std::mutex mutex;
    int width = 0;
    int height = 0;
    int inUse = 0;
    std::vector<PixelBuffer*> free;

    ~State()
    {
        for (PixelBuffer* buffer : free) {
            destroy(buffer);
        }
    }
    static void destroy(PixelBuffer* buffer);
    static PixelBuffer* create(int width, int height);
};

// PixelBuffer's constructor and destructor are the pool's alone.
class PixelBufferPoolAccess {
public:
    static PixelBuffer* create(int width, int height) { return new PixelBuffer(width, height); }
    static void destroy(PixelBuffer* buffer) { delete buffer; }
};

PixelBufferPool::PixelBufferPool(int capacity) : m_state(std::make_shared<State>())
{
    m_state->capacity = capacity;
}

PixelBufferPool::~PixelBufferPool() = default;

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire(int width, int height)
{
    PixelBuffer* buffer = nullptr;
    {
        std::lock_guard lock(m_state->mutex);
        if (width != m_state->width || height != m_state->height) {
            for (PixelBuffer* stale : m_state->free) {
                State::destroy(stale);
            }
            m_state->free.clear();
            m_state->width = width;
            m_state->height = height;
        }
        if (!m_state->free.empty()) {
            buffer = m_state->free.back();
            m_state->free.pop_back();
        } else if (m_state->inUse < m_state->capacity) {
            buffer = State::create(width, height);
        } else {
            return nullptr;
        }
        ++m_state->inUse;
    }
    buffer->matrix = PixelBuffer::Matrix::bt601;
    buffer->range = PixelBuffer::Range::video;
    // The deleter keeps the pool's state alive, so a buffer may outlive the pool.
    return std::shared_ptr<PixelBuffer>(buffer, [state = m_state](PixelBuffer* returned) {
        std::lock_guard lock(state->mutex);
        --state->inUse;
        if (returned->width() == state->width && returned->height() == state->height) {
            state->free.push_back(returned);
        } else {
            State::destroy(returned);
        }
    });
}

int PixelBufferPool::buffersInUse() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->inUse;
}

void PixelBufferPool::State::destroy(PixelBuffer* buffer)
{
    PixelBufferPoolAccess::destroy(buffer);
}

PixelBuffer* PixelBufferPool::State::create(int width, int height)
{
    return PixelBufferPoolAccess::create(width, height);
}
