#pragma once

#include <cstdlib>
#include <memory>

// xcb hands out its replies, errors and events in memory of malloc's, which the caller frees.
struct XcbFree {
    void operator()(void* pointer) const { std::free(pointer); }
};

template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

template <typename T>
XcbReply<T> xcbReply(T* raw)
{
    return XcbReply<T>(raw);
}
