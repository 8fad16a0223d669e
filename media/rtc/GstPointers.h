#pragma once

#include <gst/gst.h>

#include <memory>

// Owning pointers for GStreamer and GLib objects.
namespace Gst {

struct ObjectUnref {
    void operator()(gpointer object) const
    {
        if (object) {
            gst_object_unref(object);
        }
    }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const
    {
        if (caps) {
            gst_caps_unref(caps);
        }
    }
};

template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;
using Caps = std::unique_ptr<GstCaps, CapsUnref>;

} // namespace Gst
