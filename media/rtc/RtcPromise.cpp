#include "media/rtc/RtcPromise.h"

using namespace Qt::StringLiterals;

namespace RtcPromise {

Result<> outcome(GstPromise* promise)
{
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        return Failure{u"The operation was interrupted."_s};
    }
    const GstStructure* reply = gst_promise_get_reply(promise);
    if (!reply) {
        return {};
    }
    GError* error = nullptr;
    if (gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr) && error) {
        const QString text = QString::fromUtf8(error->message);
        g_error_free(error);
        return Failure{text};
    }
    return {};
}

} // namespace RtcPromise
