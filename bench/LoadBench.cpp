// What load and hostile peers cost the real helper in memory, and how long a phone then waits:
// 10,000 connections opened and dropped (three rounds: the first may lift the allocator to its
// high-water mark, a leak grows every round), eight peers that say hello and then nothing (they
// hold every slot until the 120 s handshake timer frees them), the largest frames at full speed
// for 5 s, a peer sending one byte a second.
//
//   tools/bench load
#include "bench/BenchSupport.h"
#include "tests/support/Bytes.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Processes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray helloFrame =
    Tests::frame(0x00, R"({"t":"hello","id":"load","nonce":"AAAAAAAAAAAAAAAAAAAAAA=="})");

// Seconds until the reference phone pairs, trying again while it is turned away; -1 when it never did.
double phoneWait(const Tests::Home& phone, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < limitMs) {
        if (Tests::runPhone(phone, {u"pair"_s, u"127.0.0.1"_s}, 10000).exitCode == 0) {
            return static_cast<double>(clock.elapsed()) / 1000;
        }
        Tests::spin(500ms);
    }
    return -1;
}

struct Case {
    const char* name;
    long growthKb;
    double phoneSeconds;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Tests::Home helperHome;
    Tests::Home phone;
    Tests::HelperProcess helper(helperHome, {u"-autoallow"_s});
    if (helper.waitUntilListening() != 47813) {
        std::fprintf(stderr, "bench load: the helper did not listen\n");
        return 1;
    }
    const pid_t pid = helper.pid();
    phoneWait(phone, 20000); // warm up: the first phone loads what a phone needs
    std::vector<Case> cases;
    const auto measure = [&](const char* name, const std::function<void()>& load, int phoneLimitMs) {
        const long before = Bench::residentKb(pid);
        load();
        const double waited = phoneWait(phone, phoneLimitMs);
        Tests::spin(500ms);
        cases.push_back({name, Bench::residentKb(pid) - before, waited});
    };
    for (const char* round : {"10000 connections opened and dropped", "10000 more", "10000 more again"}) {
        measure(
            round,
            [] {
                for (int i = 0; i < 10000; ++i) {
                    if (const int fd = Tests::connectToHelper(); fd >= 0) {
                        if (i % 2) {
                            linger reset{1, 0};
                            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                        }
                        close(fd);
                    }
                }
            },
            20000);
    }
    std::vector<int> silent;
    measure(
        "8 peers sending hello, then nothing",
        [&] {
            for (int i = 0; i < 8; ++i) {
                silent.push_back(Tests::connectToHelper());
                [[maybe_unused]] const auto sent =
                    write(silent.back(), helloFrame.constData(), helloFrame.size());
            }
            Tests::spin(300ms);
        },
        150'000);
    for (const int fd : silent) {
        close(fd);
    }
    measure(
        "1 MiB frames at full speed for 5 s",
        [] {
            QByteArray big(4 + 1'048'576, 'x');
            qToBigEndian(static_cast<quint32>(1'048'576), big.data());
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 5000) {
                const int fd = Tests::connectToHelper();
                for (int i = 0; i < 4 && send(fd, big.constData(), size_t(big.size()), MSG_NOSIGNAL) > 0;
                     ++i) {
                }
                close(fd);
            }
        },
        20000);
    int slow = -1;
    measure(
        "a peer sending one byte a second (8 s)",
        [&] {
            slow = Tests::connectToHelper();
            for (int i = 0; i < 8; ++i) {
                [[maybe_unused]] const auto sent = send(slow, helloFrame.constData() + i, 1, MSG_NOSIGNAL);
                Tests::spin(1s);
            }
        },
        20000);
    close(slow);

    std::printf("%-42s %12s %12s\n", "load", "rss growth", "phone waited");
    for (const Case& c : cases) {
        std::printf("%-42s %9ld kB %10.1f s\n", c.name, c.growthKb, c.phoneSeconds);
        Bench::row("helper memory growth: " + QByteArray(c.name), double(c.growthKb), std::nullopt, "kB");
    }
    Bench::row("phone waits behind 8 silent peers (120 s handshake timer)", cases[3].phoneSeconds,
               std::nullopt, "s", "100 … 135");
    const long laterRounds = std::min(cases[1].growthKb, cases[2].growthKb);
    Bench::print(QByteArray("bench load: connections_growth_kb=") + QByteArray::number(cases[0].growthKb) +
                 " connections_later_growth_kb=" + QByteArray::number(laterRounds) +
                 " silent_phone_wait_s=" + QByteArray::number(cases[3].phoneSeconds, 'f', 1) +
                 " big_frames_growth_kb=" + QByteArray::number(cases[4].growthKb) +
                 " slow_peer_growth_kb=" + QByteArray::number(cases[5].growthKb));
    return 0;
}
