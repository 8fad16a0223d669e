#include "platform/pulse/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cctype>

using namespace Qt::StringLiterals;

namespace {

constexpr const char* restoreProperty = "ovu.restore-sink";

// Runs a PulseAudio list query and collects one item per entry it reports.
template <typename Item, typename Info>
std::vector<Item> collect(PulseConnection& pulse,
                          pa_operation* (*query)(pa_context*, void (*)(pa_context*, const Info*, int, void*),
                                                 void*),
                          Item (*convert)(const Info*))
{
    std::vector<Item> list;
    struct Context {
        std::vector<Item>* list;
        Item (*convert)(const Info*);
        std::function<void()> finish;
    };
    pulse.run([&](std::function<void()> finish) {
        auto* context = new Context{&list, convert, std::move(finish)};
        pa_operation* operation = query(
            pulse.context(),
            [](pa_context*, const Info* info, int eol, void* data) {
                auto* c = static_cast<Context*>(data);
                if (eol) {
                    c->finish();
                    delete c;
                    return;
                }
                c->list->push_back(c->convert(info));
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

} // namespace

PulseAudioOutput::PulseAudioOutput() = default;

std::vector<PulseAudioOutput::Sink> PulseAudioOutput::sinks()
{
    return collect<Sink>(
        m_pulse, &pa_context_get_sink_info_list, +[](const pa_sink_info* info) {
            const char* restore = pa_proplist_gets(info->proplist, restoreProperty);
            return Sink{info->index, QString::fromUtf8(info->name), info->mute != 0, info->owner_module,
                        QString::fromUtf8(restore ? restore : "")};
        });
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

std::vector<PulseAudioOutput::Input> PulseAudioOutput::inputs()
{
    return collect<Input>(
        m_pulse, &pa_context_get_sink_input_info_list, +[](const pa_sink_input_info* info) {
            return Input{info->index, info->sink};
        });
}

void PulseAudioOutput::move(std::uint32_t input, const QString& toSink)
{
    const QByteArray target = toSink.toUtf8();
    runOne(m_pulse, [&](pa_context* context, Done* done) {
        return pa_context_move_sink_input_by_name(context, input, target.constData(), &Done::onSuccess, done);
    });
}

void PulseAudioOutput::silence(const Device& device)
{
    // The sink to give the sound back to, kept in the null sink's properties; a name that would
    // need quoting there is left out (a leftover then goes back to the default sink).
    const QByteArray name = device.name.toUtf8();
    const bool plainName = std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == ':';
    });
    const QByteArray arguments =
        "sink_name=" + QByteArray(helperSinkName) +
        " rate=48000 channels=2 format=float32le sink_properties='device.description=\"OVU "
        "Helper (muted)\"" +
        (plainName ? " " + QByteArray(restoreProperty) + "=\"" + name + "\"" : QByteArray()) + "'";
    if (!helperSinkExists()) {
        runOne(m_pulse, [&](pa_context* context, Done* done) {
            return pa_context_load_module(context, "module-null-sink", arguments.constData(), &Done::onIndex,
                                          done);
        });
    }
    if (!helperSinkExists()) {
        return; // the server refused the null sink: the output plays on
    }
    // Streams that start later go to the default; the playing ones are moved.
    setDefault(QString::fromLatin1(helperSinkName));
    for (const Input& input : inputs()) {
        if (input.sink == device.id) {
            move(input.index, QString::fromLatin1(helperSinkName));
        }
    }
}

void PulseAudioOutput::giveBack(const QString& target, const std::vector<Sink>& all)
{
    const auto helper = std::find_if(all.begin(), all.end(),
                                     [](const Sink& s) { return s.name == QLatin1String(helperSinkName); });
    if (helper == all.end()) {
        return;
    }
    // Only what the helper did is undone: the default goes back while it is still the helper's
    // sink, and the streams still on the helper's sink go back; where the user sent sound during
    // the visit stays as it is.
    if (!target.isEmpty()) {
        if (defaultSinkName() == QLatin1String(helperSinkName)) {
            setDefault(target);
        }
        for (const Input& input : inputs()) {
            if (input.sink == helper->index) {
                move(input.index, target);
            }
        }
    }
    const std::uint32_t module = helper->ownerModule;
    runOne(m_pulse, [&](pa_context* context, Done* done) {
        return pa_context_unload_module(context, module, &Done::onSuccess, done);
    });
}

namespace {

// The sink asked for when it exists, else the first sink that is not the helper's.
QString sinkOrAnother(const QString& wanted, const std::vector<PulseAudioOutput::Sink>& all)
{
    QString other;
    for (const PulseAudioOutput::Sink& sink : all) {
        if (sink.name == wanted) {
            return wanted;
        }
        if (other.isEmpty() && sink.name != QLatin1String(PulseAudioOutput::helperSinkName)) {
            other = sink.name;
        }
    }
    return other;
}

} // namespace

void PulseAudioOutput::unsilence(const Device& device)
{
    const std::vector<Sink> all = sinks();
    giveBack(sinkOrAnother(device.name, all), all);
}

void PulseAudioOutput::removeLeftovers()
{
    const std::vector<Sink> all = sinks();
    for (const Sink& sink : all) {
        if (sink.name == QLatin1String(helperSinkName)) {
            giveBack(sinkOrAnother(sink.restoreSink, all), all);
        }
    }
}
