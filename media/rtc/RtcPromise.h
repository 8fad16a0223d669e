#pragma once

#include "base/Result.h"

#include <gst/gst.h>

#include <utility>

// GstPromise helpers for webrtcbin's action signals.
namespace RtcPromise {

// A promise that calls the function with itself once it is answered (on a library thread).
template <typename F>
GstPromise* calling(F function)
{
    auto* heap = new F(std::move(function));
    return gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) { (*static_cast<F*>(data))(promise); }, heap,
        [](gpointer data) { delete static_cast<F*>(data); });
}

// The outcome an answered promise reports: its "error", if any.
Result<> outcome(GstPromise* promise);

} // namespace RtcPromise
