#include "platform/pulse/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr const char* restoreProperty = "ovu.restore-sink";

} // namespace

PulseAudioOutput::PulseAudioOutput() = default;

std::vector<PulseAudioOutput::Sink> PulseAudioOutput::sinks()
{
    std::vector<Sink> list;
    struct Context {
        std::vector<Sink>* list;
        std::function<void()> finish;
    };
    m_pulse.run([&](std::function<void()> finish) {
        auto* context = new Context{&list, std::move(finish)};
        pa_operation* operation = pa_context_get_sink_info_list(
            m_pulse.context(),
            [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                auto* c = static_cast<Context*>(data);
                if (eol) {
                    c->finish();
                    delete c;
                    return;
                }
                const char* restore = pa_proplist_gets(info->proplist, restoreProperty);
                c->list->push_back(Sink{info->index, QString::fromUtf8(info->name), info->mute != 0,
                                        info->owner_module, QString::fromUtf8(restore ? restore : "")});
            },
            context);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            context->finish();
            delete context;
        }
    });
    return list;
}

std::optional<QString> PulseAudioOutput::defaultSinkName()
{
    std::optional<QString> name;
    struct Context {
        std::optional<QString>* name;
        std::function<void()> finish;
    };
    m_pulse.run([&](std::function<void()> finish) {
        auto* context = new Context{&name, std::move(finish)};
        pa_operation* operation = pa_context_get_server_info(
            m_pulse.context(),
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* c = static_cast<Context*>(data);
                if (info && info->default_sink_name) {
                    *c->name = QString::fromUtf8(info->default_sink_name);
                }
                c->finish();
                delete c;
            },
            context);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            context->finish();
            delete context;
        }
    });
    return name;
}

std::optional<AudioOutput::Device> PulseAudioOutput::defaultOutput()
{
    const std::optional<QString> name = defaultSinkName();
    if (!name) {
        return std::nullopt;
    }
    for (const Sink& sink : sinks()) {
        if (sink.name == *name) {
            return Device{sink.index, sink.name};
        }
    }
    return std::nullopt;
}

std::optional<bool> PulseAudioOutput::isMuted(const Device& device)
{
    for (const Sink& sink : sinks()) {
        if (sink.index == device.id) {
            return sink.muted;
        }
    }
    return std::nullopt;
}

bool PulseAudioOutput::helperSinkExists()
{
    const std::vector<Sink> all = sinks();
    return std::any_of(all.begin(), all.end(),
                       [](const Sink& s) { return s.name == QLatin1String(helperSinkName); });
}

namespace {

// Runs one operation whose callback reports success; finishes the step when it is done.
struct Done {
    std::function<void()> finish;
    static void onSuccess(pa_context*, int, void* data)
    {
        auto* done = static_cast<Done*>(data);
        done->finish();
        delete done;
    }
    static void onIndex(pa_context*, uint32_t, void* data)
    {
        auto* done = static_cast<Done*>(data);
        done->finish();
        delete done;
    }
};

template <typename Start>
void runOne(PulseConnection& pulse, Start start)
{
    pulse.run([&](std::function<void()> finish) {
        auto* done = new Done{std::move(finish)};
        pa_operation* operation = start(pulse.context(), done);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            done->finish();
            delete done;
        }
    });
}

} // namespace

void PulseAudioOutput::setDefault(const QString& name)
{
    const QByteArray bytes = name.toUtf8();
    runOne(m_pulse, [&](pa_context* context, Done* done) {
        return pa_context_set_default_sink(context, bytes.constData(), &Done::onSuccess, done);
    });
}

void PulseAudioOutput::moveStreams(std::uint32_t fromSink, const QString& toSink)
{
    std::vector<std::uint32_t> inputs;
    struct Context {
        std::vector<std::uint32_t>* inputs;
        std::uint32_t from;
        std::function<void()> finish;
    };
    m_pulse.run([&](std::function<void()> finish) {
        auto* context = new Context{&inputs, fromSink, std::move(finish)};
        pa_operation* operation = pa_context_get_sink_input_info_list(
            m_pulse.context(),
            [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
                auto* c = static_cast<Context*>(data);
                if (eol) {
                    c->finish();
                    delete c;
                    return;
                }
                if (info->sink == c->from) {
                    c->inputs->push_back(info->index);
                }
            },
            context);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            context->finish();
            delete context;
        }
    });
    const QByteArray target = toSink.toUtf8();
    for (std::uint32_t input : inputs) {
        runOne(m_pulse, [&](pa_context* context, Done* done) {
            return pa_context_move_sink_input_by_name(context, input, target.constData(), &Done::onSuccess,
                                                      done);
        });
    }
}

void PulseAudioOutput::silence(const Device& device)
{
    const QByteArray arguments =
        "sink_name=" + QByteArray(helperSinkName) +
        " rate=48000 channels=2 format=float32le sink_properties='device.description=\"OVU "
        "Helper (muted)\" " +
        QByteArray(restoreProperty) + "=\"" + device.name.toUtf8() + "\"'";
    if (!helperSinkExists()) {
        runOne(m_pulse, [&](pa_context* context, Done* done) {
            return pa_context_load_module(context, "module-null-sink", arguments.constData(), &Done::onIndex,
                                          done);
        });
    }
    setDefault(QString::fromLatin1(helperSinkName));
    for (const Sink& sink : sinks()) {
        if (sink.name == QLatin1String(helperSinkName)) {
            moveStreams(device.id, sink.name);
        }
    }
}

void PulseAudioOutput::giveBack(const QString& target, const std::vector<Sink>& all)
{
    for (const Sink& sink : all) {
        if (sink.name != QLatin1String(helperSinkName)) {
            continue;
        }
        moveStreams(sink.index, target);
        setDefault(target);
        const std::uint32_t module = sink.ownerModule;
        runOne(m_pulse, [&](pa_context* context, Done* done) {
            return pa_context_unload_module(context, module, &Done::onSuccess, done);
        });
    }
}

void PulseAudioOutput::unsilence(const Device& device)
{
    const std::vector<Sink> all = sinks();
    // The recorded device by its name; when it is gone, the first other sink.
    QString target;
    for (const Sink& sink : all) {
        if (sink.name == device.name) {
            target = sink.name;
        }
    }
    if (target.isEmpty()) {
        for (const Sink& sink : all) {
            if (sink.name != QLatin1String(helperSinkName)) {
                target = sink.name;
                break;
            }
        }
    }
    if (!target.isEmpty()) {
        giveBack(target, all);
    }
}

void PulseAudioOutput::removeLeftovers()
{
    const std::vector<Sink> all = sinks();
    const auto helper = std::find_if(all.begin(), all.end(),
                                     [](const Sink& s) { return s.name == QLatin1String(helperSinkName); });
    if (helper == all.end()) {
        return;
    }
    QString target = helper->restoreSink;
    if (std::none_of(all.begin(), all.end(), [&](const Sink& s) { return s.name == target; })) {
        target.clear();
        for (const Sink& sink : all) {
            if (sink.name != QLatin1String(helperSinkName)) {
                target = sink.name;
                break;
            }
        }
    }
    if (!target.isEmpty()) {
        giveBack(target, all);
    }
}
