#include "platform/pulse/PulseSoundSource.h"

#include "base/HelperLog.h"
#include "platform/pulse/PulseAudioOutput.h"

#include <QByteArray>
#include <QString>

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

using namespace Qt::StringLiterals;

namespace {

constexpr pa_usec_t reconnectDelay = 2 * PA_USEC_PER_SEC;

// One recording, on its own PulseAudio thread (the capture's sound thread).
class Recording final : public SoundSource::Stream {
public:
    explicit Recording(SoundSource::Sink& sink) : m_sink(sink), m_loop(pa_threaded_mainloop_new())
    {
        pa_threaded_mainloop_lock(m_loop);
        connect();
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_start(m_loop);
    }

    ~Recording() override { stop(); }

    void stop() override
    {
        if (!m_loop) {
            return;
        }
        pa_threaded_mainloop_lock(m_loop);
        m_stopping = true;
        dropStream();
        dropContext();
        if (m_retry) {
            pa_threaded_mainloop_get_api(m_loop)->time_free(m_retry);
            m_retry = nullptr;
        }
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }

private:
    void connect()
    {
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "OVU Helper sound");
        pa_context_set_state_callback(m_context, &Recording::onContextState, this);
        pa_context_set_subscribe_callback(m_context, &Recording::onEvent, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            lost();
        }
    }

    void dropContext()
    {
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
    }

    void dropStream()
    {
        if (m_stream) {
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
            m_stream = nullptr;
        }
        m_source.clear();
    }

    // The server is gone (or was never there): said once, then tried again every 2 seconds.
    void lost()
    {
        if (!m_reportedLoss) {
            m_reportedLoss = true;
            const char* error = m_context ? pa_strerror(pa_context_errno(m_context)) : "no connection";
            HelperLog::write(u"sound: lost the sound server ("_s + QString::fromUtf8(error) +
                             u"); the picture goes on"_s);
        }
        dropStream();
        dropContext();
        if (!m_retry && !m_stopping) {
            timeval when{};
            pa_gettimeofday(&when);
            pa_timeval_add(&when, reconnectDelay);
            m_retry = pa_threaded_mainloop_get_api(m_loop)->time_new(pa_threaded_mainloop_get_api(m_loop),
                                                                     &when, &Recording::onRetry, this);
        }
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data)
    {
        auto* self = static_cast<Recording*>(data);
        api->time_free(event);
        self->m_retry = nullptr;
        if (!self->m_stopping) {
            self->connect();
        }
    }

    static void onContextState(pa_context* context, void* data)
    {
        auto* self = static_cast<Recording*>(data);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            if (self->m_reportedLoss) {
                self->m_reportedLoss = false;
                HelperLog::write(u"sound: the sound server is back"_s);
            }
            pa_operation_unref(pa_context_subscribe(
                context, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr));
            self->chooseSource();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (!self->m_stopping) {
                self->lost();
            }
            break;
        default:
            break;
        }
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* data)
    {
        // A sink came or went, or the default changed: record from where the sound now goes.
        static_cast<Recording*>(data)->chooseSource();
    }

    // Where to record: the helper's null sink while it exists, else the default sink.
    void chooseSource()
    {
        if (!m_context || m_stopping) {
            return;
        }
        pa_operation* operation = pa_context_get_sink_info_by_name(
            m_context, PulseAudioOutput::helperSinkName,
            [](pa_context* context, const pa_sink_info* info, int eol, void* data) {
                auto* self = static_cast<Recording*>(data);
                if (info) {
                    self->m_helperSink = true;
                    return;
                }
                if (!eol) {
                    return;
                }
                if (self->m_helperSink) {
                    self->m_helperSink = false;
                    self->recordFrom(QByteArray(PulseAudioOutput::helperSinkName) + ".monitor");
                    return;
                }
                pa_operation* server = pa_context_get_server_info(
                    context,
                    [](pa_context*, const pa_server_info* serverInfo, void* again) {
                        auto* recording = static_cast<Recording*>(again);
                        if (serverInfo && serverInfo->default_sink_name) {
                            recording->recordFrom(QByteArray(serverInfo->default_sink_name) + ".monitor");
                        }
                    },
                    self);
                if (server) {
                    pa_operation_unref(server);
                }
            },
            this);
        if (operation) {
            pa_operation_unref(operation);
        }
    }

    void recordFrom(const QByteArray& source)
    {
        if (m_stopping || (m_stream && source == m_source)) {
            return;
        }
        openStream(source);
    }

    void openStream(const QByteArray& source)
    {
        dropStream();
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
        m_stream = pa_stream_new(m_context, "OVU Helper sound to the phone", &spec, nullptr);
        if (!m_stream) {
            return;
        }
        pa_buffer_attr attributes{};
        attributes.maxlength = std::uint32_t(-1);
        attributes.fragsize = PulseSoundSource::fragmentFrames * 8;
        pa_stream_set_read_callback(m_stream, &Recording::onRead, this);
        if (pa_stream_connect_record(m_stream, source.constData(), &attributes,
                                     pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
            dropStream();
            return;
        }
        m_source = source;
    }

    static void onRead(pa_stream* stream, size_t, void* data)
    {
        auto* self = static_cast<Recording*>(data);
        const void* bytes = nullptr;
        size_t length = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &bytes, &length) == 0 &&
               length > 0) {
            AudioSample sample;
            sample.description = AudioSample::Description{};
            sample.frameCount = static_cast<std::int64_t>(length / 8);
            // A hole in the stream is silence of its length: a buffer without data.
            sample.buffers = std::vector<AudioSample::Buffer>{
                {2, bytes ? QByteArray(static_cast<const char*>(bytes), static_cast<qsizetype>(length))
                          : QByteArray()}};
            self->m_sink.audioSample(sample);
            pa_stream_drop(stream);
        }
    }

    SoundSource::Sink& m_sink;
    pa_threaded_mainloop* m_loop;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_retry = nullptr;
    QByteArray m_source;
    bool m_helperSink = false;
    bool m_reportedLoss = false;
    bool m_stopping = false;
};

} // namespace

std::unique_ptr<SoundSource::Stream> PulseSoundSource::start(SoundSource::Sink& sink)
{
    return std::make_unique<Recording>(sink);
}
