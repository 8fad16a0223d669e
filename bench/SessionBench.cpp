// A known phone and the real helper on loopback: the time from the TCP connect to "ready" (the
// proof and the display list), and from "start" to the first picture decoded at the phone (the
// capture at its default 1080 lines, the offer and answer, ICE, DTLS and the first key frame),
// 20 runs each. The helper runs as its own process on Xvfb with its displays already loaded;
// the phone is this process.
#include "bench/BenchSupport.h"
#include "link/TcpConnection.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "phone/PhoneViewer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int runs = 20;
constexpr quint16 port = 47813;

struct Percentiles {
    double p50 = 0;
    double p95 = 0;
};

Percentiles percentiles(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        return {};
    }
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 95 / 100)]};
}

struct Run {
    std::optional<double> proved;
    std::optional<double> ready;
    std::optional<double> firstPicture;
    std::optional<QString> closedBy;
    bool offered = false;
};

// One visit of the phone: connect, prove, "ready", "start", the first picture, "bye".
Run visit(PhoneStore& store)
{
    Run run;
    QElapsedTimer clock;
    clock.start();
    auto link = PhoneLink::create(std::make_unique<TcpConnection>(u"127.0.0.1"_s, port), store,
                                  u"Bench Phone"_s, PhoneLink::Mode::connect);
    auto viewer = std::make_unique<PhoneViewer>();
    std::optional<qint64> started;
    bool closed = false;
    viewer->sendSignal = [&](const QJsonObject& message) { link->send(message); };
    viewer->onPicture = [&](const PhoneViewer::Picture&) {
        if (started && !run.firstPicture) {
            run.firstPicture = double(clock.nsecsElapsed() - *started) / 1e6;
        }
    };
    link->onProved = [&] { run.proved = double(clock.nsecsElapsed()) / 1e6; };
    link->onMessage = [&](const QJsonObject& message) {
        const QString type = message.value(u"t"_s).toString();
        if (type == u"ready"_s && !run.ready) {
            run.ready = double(clock.nsecsElapsed()) / 1e6;
            started = clock.nsecsElapsed();
            link->send(QJsonObject{{u"t"_s, u"start"_s}});
        } else if (type == u"offer"_s || type == u"ice"_s) {
            run.offered = run.offered || type == u"offer"_s;
            viewer->receive(message);
        } else if (type == u"bye"_s && !run.firstPicture) {
            run.closedBy = u"\"bye\": "_s + message.value(u"reason"_s).toString();
        }
    };
    link->onClosed = [&](const std::optional<QString>& reason) {
        closed = true;
        if (!run.firstPicture && !run.closedBy) {
            run.closedBy = reason.value_or(u"no reason"_s);
        }
    };
    link->start();
    Tests::waitUntil([&] { return run.firstPicture.has_value() || closed; }, 15s);
    link->send(QJsonObject{{u"t"_s, u"bye"_s}});
    Tests::waitUntil([&] { return closed; }, 3s);
    viewer.reset();
    // The helper stops the sharing before the next visit.
    Tests::spin(300ms);
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Tests::Home helperHome;
    helperHome.environment.insert(u"DISPLAY"_s, u":1"_s);
    Tests::HelperProcess helper(helperHome, {u"-autoallow"_s});
    if (helper.waitUntilListening() != port) {
        std::fprintf(stderr, "bench session: the helper did not listen on %u\n", port);
        return 1;
    }

    // Pair once; every run is then a known phone proving itself.
    Tests::Home phoneHome;
    PhoneStore store(phoneHome.folder.path() + u"/phone"_s);
    {
        bool proved = false;
        auto pairing = PhoneLink::create(std::make_unique<TcpConnection>(u"127.0.0.1"_s, port), store,
                                         u"Bench Phone"_s, PhoneLink::Mode::pair);
        pairing->onProved = [&] { proved = true; };
        pairing->start();
        if (!Tests::waitUntil([&] { return proved; }, 10s)) {
            std::fprintf(stderr, "bench session: pairing failed\n");
            return 1;
        }
        pairing->close();
        Tests::spin(500ms);
    }
    // A first visit warms the helper up (its display list, GStreamer's plugin registry).
    visit(store);

    std::vector<double> proved;
    std::vector<double> ready;
    std::vector<double> picture;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const Run run = visit(store);
        if (!run.ready || !run.firstPicture) {
            ++failed;
            const QStringList log = Tests::logMessages(helperHome.logPath());
            std::fprintf(stderr, "run %d: %s%s%s%s; the helper's log ends with:\n  %s\n", i + 1,
                         !run.ready ? "no \"ready\"" : "no picture within 15 s",
                         run.offered ? " (offered)" : " (no offer)", run.closedBy ? ", closed: " : "",
                         run.closedBy ? qPrintable(*run.closedBy) : "",
                         qPrintable(log.mid(std::max<qsizetype>(0, log.size() - 25)).join(u"\n  "_s)));
            continue;
        }
        proved.push_back(*run.proved);
        ready.push_back(*run.ready);
        picture.push_back(*run.firstPicture);
    }
    const Percentiles p = percentiles(proved);
    const Percentiles r = percentiles(ready);
    const Percentiles f = percentiles(picture);
    std::printf("A known phone visiting the helper on loopback, %d runs (%d failed)\n", runs, failed);
    std::printf("%-40s %10s %10s %10s\n", "", "p50 ms", "p95 ms", "goal ms");
    std::printf("%-40s %10.1f %10.1f %10s\n", "TCP connect → proved", p.p50, p.p95, "-");
    std::printf("%-40s %10.1f %10.1f %10s\n", "TCP connect → \"ready\"", r.p50, r.p95, "50");
    std::printf("%-40s %10.1f %10.1f %10s\n", "\"start\" → first decoded picture", f.p50, f.p95, "300");
    Bench::row("session: TCP connect to \"ready\" p50", r.p50, std::nullopt, "ms", "< 50 ms");
    Bench::row("session: TCP connect to \"ready\" p95", r.p95, std::nullopt, "ms", "< 50 ms");
    Bench::row("session: \"start\" to first decoded picture p50", f.p50, std::nullopt, "ms", "< 300 ms");
    Bench::row("session: \"start\" to first decoded picture p95", f.p95, std::nullopt, "ms", "< 300 ms");
    std::printf("bench session: ready_p50_ms=%.1f ready_p95_ms=%.1f first_picture_p50_ms=%.1f "
                "first_picture_p95_ms=%.1f\n",
                r.p50, r.p95, f.p50, f.p95);
    return failed == 0 ? 0 : 1;
}
