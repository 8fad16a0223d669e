// Remote input on Xvfb: control messages decoded by the injector and sent through the XTest
// sink, seen by a separate X client (its own connection and window, reading events on a thread
// of its own as a desktop program does). Beside it, the floor: bare XTest motion requests from
// a connection of their own, without decoding or the sink.
//
//   throughput: a mix of moves, clicks, wheel turns and key presses, as fast as they come,
//               until the server has handled the last (a round trip);
//   latency:    one move at a time, from the call to its MotionNotify at the client.
#include "bench/BenchSupport.h"
#include "input/InputInjector.h"
#include "platform/x11/XTestEventSink.h"
#include "tests/support/X11Observer.h"

#include <QCoreApplication>

#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr QByteArrayView display = ":1";
constexpr int latencySamples = 2000;
constexpr int throughputMessages = 40000;

struct Latencies {
    double p50 = 0;
    double p99 = 0;
    int lost = 0;
};

// Moves one at a time to distinct places; `move` posts the move to (x, y).
Latencies measureLatency(X11Observer& observer, const std::function<void(int x, int y)>& move)
{
    std::vector<double> milliseconds;
    Latencies result;
    for (int i = 0; i < latencySamples; ++i) {
        // A walk over the screen that never lands on the same pixel twice in a row.
        const int x = 100 + (i * 37) % 1700;
        const int y = 100 + (i * 53) % 850;
        observer.take();
        const Clock::time_point start = Clock::now();
        move(x, y);
        const auto seen = observer.waitFor(
            [&](const X11Observer::Event& event) {
                return event.type == XCB_MOTION_NOTIFY && event.x == x && event.y == y;
            },
            200ms);
        if (!seen) {
            ++result.lost;
            continue;
        }
        milliseconds.push_back(std::chrono::duration<double, std::milli>(seen->arrived - start).count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    if (!milliseconds.empty()) {
        result.p50 = milliseconds[milliseconds.size() / 2];
        result.p99 = milliseconds[std::min(milliseconds.size() - 1, milliseconds.size() * 99 / 100)];
    }
    return result;
}

// Ten messages of a phone at work: moves, a click, a wheel turn, a key press.
std::vector<QByteArray> mix()
{
    std::vector<QByteArray> messages;
    for (int i = 0; i < 10; ++i) {
        const QByteArray x = QByteArray::number(0.1 + 0.08 * i);
        messages.push_back(R"({"t":"m","x":)" + x + R"(,"y":0.5})");
    }
    messages[3] = R"({"t":"d","x":0.34,"y":0.5})";
    messages[4] = R"({"t":"u","x":0.34,"y":0.5})";
    messages[6] = R"({"t":"w","dy":40})";
    messages[8] = R"({"t":"kc","c":0,"d":true})";
    messages[9] = R"({"t":"kc","c":0,"d":false})";
    return messages;
}

double messagesPerSecond(InputInjector& injector, const std::function<void()>& sync)
{
    const std::vector<QByteArray> messages = mix();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < throughputMessages; ++i) {
        injector.handle(messages[std::size_t(i) % messages.size()]);
    }
    sync();
    return throughputMessages / std::chrono::duration<double>(Clock::now() - start).count();
}

class CountingSink : public EventSink {
public:
    void post(const InputEvent&) override { ++events; }
    long events = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    X11Observer observer(display.toByteArray());
    auto sink = std::make_shared<XTestEventSink>(display.toByteArray());
    if (!observer.isConnected() || !sink->isConnected()) {
        std::fprintf(stderr, "bench input: no X display %s with XTEST\n", display.data());
        return 1;
    }
    InputInjector injector(sink);
    injector.displayBounds = QRectF(0, 0, 1920, 1080);

    // Throughput: the decoding alone, then with the events sent to the server.
    auto counting = std::make_shared<CountingSink>();
    InputInjector decodingOnly(counting);
    decodingOnly.displayBounds = injector.displayBounds;
    const double decodeRate = messagesPerSecond(decodingOnly, [] {});
    const double rate = messagesPerSecond(injector, [&] { sink->sync(); });
    observer.take();

    // Latency through the injector and the sink.
    const Latencies ours = measureLatency(observer, [&](int x, int y) {
        injector.handle(R"({"t":"m","x":)" + QByteArray::number(x / 1919.0, 'g', 17) + R"(,"y":)" +
                        QByteArray::number(y / 1079.0, 'g', 17) + "}");
    });

    // The floor: bare XTest requests.
    xcb_connection_t* bare = xcb_connect(display.data(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(bare)).data->root;
    const Latencies floor = measureLatency(observer, [&](int x, int y) {
        xcb_test_fake_input(bare, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, std::int16_t(x),
                            std::int16_t(y), 0);
        xcb_flush(bare);
    });
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < throughputMessages; ++i) {
        xcb_test_fake_input(bare, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, std::int16_t(100 + i % 1000),
                            std::int16_t(500), 0);
        xcb_flush(bare);
    }
    std::free(xcb_get_input_focus_reply(bare, xcb_get_input_focus(bare), nullptr));
    const double floorRate = throughputMessages / std::chrono::duration<double>(Clock::now() - start).count();
    xcb_disconnect(bare);

    std::printf("Control messages into the XTest sink on Xvfb, seen by a separate X client\n");
    std::printf("%-44s %12s %10s %10s %6s\n", "", "msgs/s", "p50 ms", "p99 ms", "lost");
    std::printf("%-44s %12.0f %10s %10s %6s\n", "decoding and injector only (counting sink)", decodeRate, "-",
                "-", "-");
    std::printf("%-44s %12.0f %10.3f %10.3f %6d\n", "injector → XTest sink → X client", rate, ours.p50,
                ours.p99, ours.lost);
    std::printf("%-44s %12.0f %10.3f %10.3f %6d\n", "reference: bare XTest motion requests", floorRate,
                floor.p50, floor.p99, floor.lost);
    std::printf(
        "throughput: %d messages (moves, clicks, wheel, keys: %ld events each 10 messages); latency: %d "
        "moves\n",
        throughputMessages, counting->events * 10 / throughputMessages, latencySamples);
    std::printf("ratios to the reference: msgs/s %.2f, p99 %.2f\n", rate / floorRate,
                floor.p99 > 0 ? ours.p99 / floor.p99 : 0.0);
    Bench::row("input: control messages into XTest (vs bare XTest requests)", rate, floorRate, "msgs/s");
    Bench::row("input: move to MotionNotify p50 (vs bare XTest requests)", ours.p50, floor.p50, "ms");
    Bench::row("input: move to MotionNotify p99 (vs bare XTest requests)", ours.p99, floor.p99, "ms");
    std::printf("bench input: msgs_per_s=%.0f latency_p50_ms=%.3f latency_p99_ms=%.3f\n", rate, ours.p50,
                ours.p99);
    return ours.lost == 0 ? 0 : 1;
}
