// The whole picture path on loopback: capture → encode → RTP → decode at the phone, beside a
// reference sender made of stock GStreamer elements (ximagesrc, videoconvert, x264enc with the
// same settings, rtph264pay, udpsink) received by udpsrc → rtph264depay → avdec_h264 in another
// process. The screen is repainted every frame with a new background and a 16-bit frame stamp;
// the receiving end reads the stamp, so each picture's latency is the time from drawing it to
// decoding it (both ends on this machine's monotonic clock).
//
// Roles: with no arguments, the orchestrator; "--role sender|phone|udp-phone" are its children.
#include "bench/BenchSupport.h"
#include "media/ScreenCapture.h"
#include "media/VideoSender.h"
#include "phone/PhoneViewer.h"
#include "platform/x11/X11CaptureBackend.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/X11Painter.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Bench::nowNs;
using Bench::print;
using Bench::processCpu;
using Bench::StdinLines;

constexpr int stampBits = 16;
constexpr std::chrono::seconds window{10};

// Cell i of the stamp: a square in the top row, 1/20 of the width wide.
QRect stampCell(QSize screen, int bit)
{
    const int side = screen.width() / 20;
    return QRect(bit * side, 0, side, side);
}

QList<QPoint> stampProbes(QSize screen)
{
    QList<QPoint> points;
    for (int bit = 0; bit < stampBits; ++bit) {
        points.append(stampCell(screen, bit).center());
    }
    return points;
}

int stampFrom(const QList<QRgb>& colours)
{
    int value = 0;
    for (int bit = 0; bit < colours.size(); ++bit) {
        if (qGray(colours[bit]) > 128) {
            value |= 1 << bit;
        }
    }
    return value;
}

int senderRole(const QByteArray& display)
{
    X11CaptureBackend backend(display);
    ScreenCapture capture(backend);
    VideoSender sender(60, 0);
    const HelperDisplay target = ScreenCapture::listDisplays(backend).value().front();
    const int width = static_cast<int>(target.pixelWidth);
    const int height = static_cast<int>(target.pixelHeight);
    sender.setMaxBitrate(std::clamp(static_cast<int>(width * height * 5.5), 6'000'000, 40'000'000));
    capture.onFrame = [&sender](const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time) {
        sender.sendFrame(buffer, time);
    };
    const auto input = Bench::signalling(sender);
    sender.start();
    QCoro::waitFor(capture.start(target.id, width, height));
    QCoreApplication::exec();
    QCoro::waitFor(capture.stop());
    sender.stop();
    return 0;
}

int phoneRole(QSize screen)
{
    PhoneViewer viewer;
    viewer.setProbes(stampProbes(screen));
    viewer.sendSignal = [](const QJsonObject& message) {
        print(QJsonDocument(message).toJson(QJsonDocument::Compact));
    };
    viewer.onPicture = [](const PhoneViewer::Picture& picture) {
        print("stamp " + QByteArray::number(stampFrom(picture.probes)) + ' ' +
              QByteArray::number(
                  std::chrono::duration_cast<std::chrono::nanoseconds>(picture.decoded.time_since_epoch())
                      .count()));
    };
    StdinLines input([&viewer](const QJsonObject& message) { viewer.receive(message); });
    QCoreApplication::exec();
    return 0;
}

int udpPhoneRole(int port, QSize screen)
{
    gst_init(nullptr, nullptr);
    const QByteArray description =
        "udpsrc port=" + QByteArray::number(port) +
        " caps=\"application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=96\" "
        "! rtph264depay ! avdec_h264 ! videoconvert ! video/x-raw,format=RGB ! appsink name=sink sync=false";
    GstElement* pipeline = gst_parse_launch(description.constData(), nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    static QList<QPoint> probes;
    probes = stampProbes(screen);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer) {
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        const std::int64_t decoded = nowNs();
        GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        int width = 0;
        int height = 0;
        gst_structure_get_int(caps, "width", &width);
        gst_structure_get_int(caps, "height", &height);
        GstMapInfo map;
        if (gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
            const int stride = ((width * 3) + 3) & ~3;
            QList<QRgb> colours;
            for (const QPoint& point : probes) {
                const std::uint8_t* pixel = map.data + point.y() * stride + point.x() * 3;
                colours.append(qRgb(pixel[0], pixel[1], pixel[2]));
            }
            gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
            print("stamp " + QByteArray::number(stampFrom(colours)) + ' ' + QByteArray::number(decoded));
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, nullptr, nullptr);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    StdinLines input([](const QJsonObject&) {});
    QCoreApplication::exec();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return 0;
}

// Repaints the whole screen every frame with a new background and the frame's stamp, and
// remembers when each stamp was on the screen.
class Animator {
public:
    Animator(const QByteArray& display, QSize screen)
        : m_thread([this, display, screen] {
            X11Painter painter(display);
            auto next = std::chrono::steady_clock::now();
            for (int frame = 1; !m_stop; ++frame) {
                const int stamp = frame & ((1 << stampBits) - 1);
                painter.fill(QRect(QPoint(0, 0), screen),
                             0x204060u + std::uint32_t((frame * 37) % 128) * 0x010101u);
                for (int bit = 0; bit < stampBits; ++bit) {
                    painter.fill(stampCell(screen, bit), (stamp >> bit) & 1 ? 0xFFFFFF : 0x000000);
                }
                {
                    std::lock_guard lock(m_mutex);
                    m_drawn[stamp] = nowNs();
                }
                next += std::chrono::microseconds(16'667);
                std::this_thread::sleep_until(next);
            }
        })
    {}
    ~Animator()
    {
        m_stop = true;
        m_thread.join();
    }
    std::optional<std::int64_t> drawnAt(int stamp)
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_drawn.find(stamp);
        return found == m_drawn.end() ? std::nullopt : std::optional(found->second);
    }

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::map<int, std::int64_t> m_drawn;
    std::thread m_thread;
};

struct Figures {
    double fps = 0;
    double cpuPerFrameMs = 0;
    double p50 = 0;
    double p95 = 0;
};

// Reads the receiver's "stamp N T" lines from `from` on; the rest goes to `relay`.
struct Receiver {
    explicit Receiver(Tests::Child& reader) : child(reader) {}
    Tests::Child& child;
    qsizetype read = 0;
    std::vector<double> latencies;
    std::map<int, bool> seen;
    int pictures = 0;

    void poll(Animator& animator, bool counting, const std::function<void(const QByteArray&)>& relay)
    {
        const QByteArray output = child.output();
        qsizetype end = 0;
        while ((end = output.indexOf('\n', read)) >= 0) {
            const QByteArray line = output.mid(read, end - read);
            read = end + 1;
            if (line.startsWith("stamp ")) {
                const QList<QByteArray> parts = line.split(' ');
                const int stamp = parts.value(1).toInt();
                const std::int64_t decoded = parts.value(2).toLongLong();
                if (!counting) {
                    continue;
                }
                ++pictures;
                if (!seen[stamp]) {
                    seen[stamp] = true;
                    if (const auto drawn = animator.drawnAt(stamp); drawn && decoded > *drawn) {
                        latencies.push_back(double(decoded - *drawn) / 1e6);
                    }
                }
            } else if (relay) {
                relay(line + '\n');
            }
        }
    }
};

Figures summarise(Receiver& receiver, double cpuSeconds)
{
    Figures figures;
    figures.fps = receiver.pictures / double(window.count());
    figures.cpuPerFrameMs = receiver.pictures > 0 ? cpuSeconds * 1000 / receiver.pictures : 0;
    auto& values = receiver.latencies;
    std::sort(values.begin(), values.end());
    if (!values.empty()) {
        figures.p50 = values[values.size() / 2];
        figures.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
    }
    return figures;
}

Figures ours(const QByteArray& display, QSize screen)
{
    const QString self = QCoreApplication::applicationFilePath();
    Tests::Child sender;
    Tests::Child phone;
    sender.start(self, {u"--role"_s, u"sender"_s, u"--display"_s, QString::fromLatin1(display)},
                 QProcessEnvironment::systemEnvironment(), true, true);
    phone.start(self,
                {u"--role"_s, u"phone"_s, u"--size"_s,
                 QString::number(screen.width()) + u'x' + QString::number(screen.height())},
                QProcessEnvironment::systemEnvironment(), true, true);
    Animator animator(display, screen);
    Receiver atPhone(phone);
    qsizetype senderRead = 0;
    auto relaySender = [&] {
        const QByteArray output = sender.output();
        if (output.size() > senderRead) {
            phone.write(output.mid(senderRead));
            senderRead = output.size();
        }
    };
    auto relayPhone = [&](const QByteArray& line) { sender.write(line); };
    auto pump = [&](std::chrono::milliseconds duration, bool counting) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            relaySender();
            atPhone.poll(animator, counting, relayPhone);
            std::this_thread::sleep_for(2ms);
        }
    };
    pump(3s, false); // connect and warm up
    const double before = processCpu(sender.pid());
    pump(window, true);
    const double cpu = processCpu(sender.pid()) - before;
    sender.closeInput();
    phone.closeInput();
    sender.wait(10s);
    phone.wait(10s);
    return summarise(atPhone, cpu);
}

Figures reference(const QByteArray& display, QSize screen)
{
    const int port = 52000 + screen.height() % 1000;
    const int kbps =
        std::clamp(static_cast<int>(screen.width() * screen.height() * 5.5), 6'000'000, 40'000'000) / 1000;
    Tests::Child phone;
    phone.start(QCoreApplication::applicationFilePath(),
                {u"--role"_s, u"udp-phone"_s, u"--port"_s, QString::number(port), u"--size"_s,
                 QString::number(screen.width()) + u'x' + QString::number(screen.height())},
                QProcessEnvironment::systemEnvironment(), true, true);
    Tests::Child sender;
    const QString pipeline = u"ximagesrc display-name="_s + QString::fromLatin1(display) +
                             u" use-damage=false ! video/x-raw,framerate=60/1 ! queue ! videoconvert ! "
                             u"video/x-raw,format=NV12 ! queue "
                             u"! x264enc tune=zerolatency speed-preset=ultrafast bitrate="_s +
                             QString::number(kbps) +
                             u" key-int-max=120 vbv-buf-capacity=200 ! rtph264pay config-interval=-1 "
                             u"aggregate-mode=zero-latency pt=96 "
                             u"! udpsink host=127.0.0.1 port="_s +
                             QString::number(port) + u" sync=false"_s;
    // gst-launch takes the pipeline as separate words.
    sender.start(u"gst-launch-1.0"_s, QStringList{u"-q"_s, u"-e"_s} + pipeline.split(u' '),
                 QProcessEnvironment::systemEnvironment());
    Animator animator(display, screen);
    Receiver atPhone(phone);
    auto pump = [&](std::chrono::milliseconds duration, bool counting) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            atPhone.poll(animator, counting, nullptr);
            std::this_thread::sleep_for(2ms);
        }
    };
    pump(3s, false);
    const double before = processCpu(sender.pid());
    pump(window, true);
    const double cpu = processCpu(sender.pid()) - before;
    sender.signal(SIGINT);
    if (!sender.wait(5s)) {
        sender.kill();
    }
    phone.closeInput();
    phone.wait(10s);
    if (atPhone.pictures == 0) {
        std::fprintf(stderr, "reference produced nothing: %s\n", sender.errors().constData());
    }
    return summarise(atPhone, cpu);
}

QSize parseSize(const QString& text)
{
    return QSize(text.section(u'x', 0, 0).toInt(), text.section(u'x', 1, 1).toInt());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList arguments = QCoreApplication::arguments();
    const auto option = [&](const QString& name) { return arguments.value(arguments.indexOf(name) + 1); };
    if (arguments.contains(u"--role"_s)) {
        const QString role = option(u"--role"_s);
        if (role == u"sender"_s) {
            return senderRole(option(u"--display"_s).toLatin1());
        }
        if (role == u"phone"_s) {
            return phoneRole(parseSize(option(u"--size"_s)));
        }
        return udpPhoneRole(option(u"--port"_s).toInt(), parseSize(option(u"--size"_s)));
    }

    // :1 is 1920×1080 (tests/env/xvfb); a 1280×720 display of its own.
    Tests::Child xvfb720;
    xvfb720.start(u"Xvfb"_s,
                  {u":8"_s, u"-screen"_s, u"0"_s, u"1280x720x24"_s, u"-nolisten"_s, u"tcp"_s, u"-noreset"_s,
                   u"-nolock"_s},
                  QProcessEnvironment::systemEnvironment(), false);
    Tests::waitUntil([] { return X11Painter(":8").isConnected(); }, 10s);

    struct Screen {
        const char* label;
        QByteArray display;
        QSize size;
    };
    const Screen screens[] = {{"1280x720", ":8", {1280, 720}}, {"1920x1080", ":1", {1920, 1080}}};
    std::printf(
        "Screen → capture → x264 → RTP → decode at the phone on loopback, 60 fps target, %lld s each\n",
        static_cast<long long>(window.count()));
    std::printf("%-10s %-9s %8s %14s %12s %12s\n", "screen", "sender", "fps", "cpu/frame ms", "latency p50",
                "p95");
    std::map<QByteArray, std::pair<Figures, Figures>> results;
    for (const Screen& screen : screens) {
        const Figures our = ours(screen.display, screen.size);
        const Figures ref = reference(screen.display, screen.size);
        std::printf("%-10s %-9s %8.1f %14.2f %12.1f %12.1f\n", screen.label, "ours", our.fps,
                    our.cpuPerFrameMs, our.p50, our.p95);
        std::printf("%-10s %-9s %8.1f %14.2f %12.1f %12.1f\n", screen.label, "reference", ref.fps,
                    ref.cpuPerFrameMs, ref.p50, ref.p95);
        results[screen.label] = {our, ref};
    }
    const auto& [our1080, ref1080] = results["1920x1080"];
    const double cpuRatio = ref1080.cpuPerFrameMs > 0 ? our1080.cpuPerFrameMs / ref1080.cpuPerFrameMs : 0;
    const double latencyRatio = ref1080.p50 > 0 ? our1080.p50 / ref1080.p50 : 0;
    std::printf(
        "ours: the helper's capture and VideoSender (webrtcbin, DTLS-SRTP) in one process, its CPU from\n"
        "/proc; reference: gst-launch-1.0 ximagesrc ! videoconvert ! x264enc (same settings) ! rtph264pay\n"
        "! udpsink. Latency: drawing the stamped frame to decoding it at the phone (milliseconds).\n");
    const auto& [our720, ref720] = results["1280x720"];
    Bench::row("stream: pictures per second at the phone, 1280x720 (vs gst-launch x264enc)", our720.fps,
               ref720.fps, "fps", "60 fps");
    Bench::row("stream: pictures per second at the phone, 1920x1080 (vs gst-launch x264enc)", our1080.fps,
               ref1080.fps, "fps", "60 fps");
    Bench::row("stream: sender CPU per picture, 1920x1080 (vs gst-launch x264enc)", our1080.cpuPerFrameMs,
               ref1080.cpuPerFrameMs, "ms");
    Bench::row("stream: drawing to decoding p50, 1920x1080 (vs gst-launch x264enc)", our1080.p50, ref1080.p50,
               "ms");
    Bench::row("stream: drawing to decoding p95, 1920x1080 (vs gst-launch x264enc)", our1080.p95, ref1080.p95,
               "ms");
    std::printf("bench stream: fps_720=%.1f fps_1080=%.1f cpu_ratio_1080=%.2f latency_p50_ms_1080=%.1f "
                "latency_p95_ms_1080=%.1f latency_ratio_1080=%.2f\n",
                results["1280x720"].first.fps, our1080.fps, cpuRatio, our1080.p50, our1080.p95, latencyRatio);
    xvfb720.kill();
    return 0;
}
