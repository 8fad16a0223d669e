// Link throughput and handshake rates, beside the HMAC-SHA256 limit of this machine.
//
// A sealed-and-verified frame costs one HMAC to seal and one to verify, so the limit for a payload
// size is 1 / (2 × the time OpenSSL takes for one HMAC-SHA256 over the same bytes), measured here
// in the same run. The channel's figure includes everything else a frame needs: JSON in and out,
// framing, the connection and the event loop.
#include "bench/BenchSupport.h"
#include "core/HelperModel.h"
#include "core/LinkServer.h"
#include "link/LinkSession.h"
#include "link/MemoryConnection.h"
#include "link/OVULinkChannel.h"
#include "link/TcpConnection.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTemporaryDir>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

const QByteArray key(32, 'k');

// A message whose serialised payload is exactly `size` bytes.
QJsonObject messageOfSize(int size)
{
    const int overhead = static_cast<int>(
        QJsonDocument(QJsonObject{{u"t"_s, u"b"_s}, {u"d"_s, u""_s}}).toJson(QJsonDocument::Compact).size());
    return QJsonObject{{u"t"_s, u"b"_s}, {u"d"_s, QString(size - overhead, u'x')}};
}

void runUntil(const std::function<bool()>& done)
{
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents();
    }
}

// Seconds per HMAC-SHA256 of `bytes` bytes with OpenSSL's EVP_MAC.
double hmacSeconds(int bytes)
{
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_END};
    EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(key.constData()), 32, params);
    const QByteArray data(bytes, 'x');
    unsigned char out[32];
    size_t length = 0;
    int iterations = std::max(20, 200'000'000 / std::max(bytes, 64));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < iterations; ++i) {
        EVP_MAC_init(ctx, nullptr, 0, nullptr);
        EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(data.constData()), data.size());
        EVP_MAC_final(ctx, out, &length, 32);
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9 / iterations;
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    return seconds;
}

// Seconds per frame sent from one open channel and accepted by the other, authenticated.
double channelSeconds(const std::shared_ptr<OVULinkChannel>& sender,
                      const std::shared_ptr<OVULinkChannel>& receiver, int size)
{
    sender->installKey(key);
    receiver->installKey(key);
    int received = 0;
    bool closed = false;
    receiver->onMessage = [&](const QJsonObject&, bool proved) {
        if (proved) {
            ++received;
        }
    };
    receiver->onClosed = [&](const std::optional<QString>&) { closed = true; };
    const QJsonObject message = messageOfSize(size);
    const int frames = std::clamp(400'000'000 / size, 200, 200'000);
    // Frames in flight: a few, and never more than 2 MiB, well below what a connection lets wait
    // to be sent before it gives the peer up.
    const int window = std::clamp((2 << 20) / (size + 64), 1, 8);
    QElapsedTimer timer;
    timer.start();
    int sent = 0;
    while (received < frames && !closed) {
        while (sent < frames && sent - received < window) {
            sender->send(message);
            ++sent;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents();
    }
    if (closed) {
        std::fprintf(stderr, "the receiving channel closed\n");
        std::exit(1);
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e9 / frames;
}

// Starts both channels and waits until both are open.
void open(const std::shared_ptr<OVULinkChannel>& a, const std::shared_ptr<OVULinkChannel>& b)
{
    int opened = 0;
    a->onOpen = [&] { ++opened; };
    b->onOpen = [&] { ++opened; };
    a->start();
    b->start();
    runUntil([&] { return opened == 2; });
}

double memorySeconds(int size)
{
    auto [a, b] = MemoryConnection::makePair();
    auto phone = OVULinkChannel::create(std::move(a), Role::phone);
    auto mac = OVULinkChannel::create(std::move(b), Role::helper);
    open(phone, mac);
    return channelSeconds(phone, mac, size);
}

double tcpSeconds(int size)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    auto phone = OVULinkChannel::create(std::make_unique<TcpConnection>(u"127.0.0.1"_s, server.serverPort()),
                                        Role::phone);
    std::shared_ptr<OVULinkChannel> mac;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        mac = OVULinkChannel::create(std::make_unique<TcpConnection>(server.nextPendingConnection()),
                                     Role::helper);
    });
    // The accepted end exists once the outgoing one has connected.
    bool phoneOpen = false;
    phone->onOpen = [&] { phoneOpen = true; };
    phone->start();
    runUntil([&] { return phoneOpen && mac != nullptr; });
    bool helperOpen = false;
    mac->onOpen = [&] { helperOpen = true; };
    mac->start();
    runUntil([&] { return helperOpen; });
    return channelSeconds(phone, mac, size);
}

// JSON alone: serialising and parsing one payload of the size, with Qt.
double jsonSeconds(int size)
{
    const QJsonObject message = messageOfSize(size);
    const int iterations = std::clamp(200'000'000 / size, 50, 100'000);
    QElapsedTimer timer;
    timer.start();
    qsizetype total = 0;
    for (int i = 0; i < iterations; ++i) {
        const QByteArray payload = QJsonDocument(message).toJson(QJsonDocument::Compact);
        total += QJsonDocument::fromJson(payload).object().size();
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e9 / iterations + (total < 0 ? 1 : 0);
}

struct Handshakes {
    double knownPerSecond = 0;
    double pairingsPerSecond = 0;
};

// Handshakes against the helper's model with -autoallow, on loopback, one after the other.
Handshakes handshakes()
{
    QTemporaryDir folder;
    Platform platform;
    platform.computerName = u"Bench Mac"_s;
    HelperModel model(LaunchOptions::parse({u"ovu-helper"_s, u"-autoallow"_s}), std::move(platform),
                      std::make_unique<PairedDevices>(folder.path() + u"/helper"_s));
    model.startUp();
    runUntil([&] { return model.server().isListening(); });
    const quint16 port = model.server().port();
    int provedSessions = 0;
    auto previous = model.server().onSession;
    model.server().onSession = [&](const std::shared_ptr<LinkSession>& session) {
        ++provedSessions;
        previous(session);
    };

    auto run = [&](PhoneLink::Mode mode, int count, const QString& storeFolder) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i) {
            PhoneStore store(storeFolder.isEmpty() ? folder.path() + u"/phone"_s + QString::number(i)
                                                   : storeFolder);
            auto phone = PhoneLink::create(std::make_unique<TcpConnection>(u"127.0.0.1"_s, port), store,
                                           u"Bench Phone"_s, mode);
            const int before = provedSessions;
            bool failed = false;
            bool phoneProved = false;
            phone->onProved = [&] { phoneProved = true; };
            phone->onClosed = [&](const std::optional<QString>& reason) {
                failed = true;
                std::fprintf(stderr, "handshake failed: %s\n", qPrintable(reason.value_or(u"no reason"_s)));
            };
            phone->start();
            // A pairing ends when the phone has "paired"; a known phone when the helper took its proof.
            runUntil([&] {
                return failed ||
                       (provedSessions > before && (mode == PhoneLink::Mode::connect || phoneProved));
            });
            if (failed) {
                std::fprintf(stderr, "handshake failed\n");
                return 0.0;
            }
            phone->close();
        }
        return count / (static_cast<double>(timer.nsecsElapsed()) / 1e9);
    };

    Handshakes result;
    result.pairingsPerSecond = run(PhoneLink::Mode::pair, 200, {});
    // One phone, paired above as the first, now known.
    result.knownPerSecond = run(PhoneLink::Mode::connect, 500, folder.path() + u"/phone0"_s);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int largest = static_cast<int>(OVULinkChannel::maximumFrameLength) - 1 - OVULinkChannel::tagSize;
    struct Size {
        const char* label;
        int bytes;
    };
    const Size sizes[] = {{"100 B", 100}, {"1 KiB", 1024}, {"64 KiB", 65536}, {"1 MiB*", largest}};

    std::printf("Link channel: sealed-and-verified frames, one process, both ends on one thread\n");
#define HEADER "%-8s %14s %10s %14s %10s %14s %8s %8s %10s %10s\n"
    std::printf(HEADER, "payload", "in-memory f/s", "MB/s", "loopback f/s", "MB/s", "HMAC limit f/s", "ratio",
                "ratio", "HMAC us/f", "JSON us/f");
    std::printf(HEADER, "", "", "", "", "", "", "in-mem", "tcp", "(2 tags)", "(out+in)");
    double inmem64 = 0;
    double tcp64 = 0;
    double memory64 = 0;
    double tcpRate64 = 0;
    double limit64 = 0;
    for (const Size& size : sizes) {
        const double hmac = 2.0 * hmacSeconds(size.bytes + 9);
        const double limit = 1.0 / hmac;
        const double memory = 1.0 / memorySeconds(size.bytes);
        const double tcp = 1.0 / tcpSeconds(size.bytes);
        const double json = jsonSeconds(size.bytes) * 1e6;
        std::printf("%-8s %14.0f %10.1f %14.0f %10.1f %14.0f %8.2f %8.2f %10.1f %10.1f\n", size.label, memory,
                    memory * size.bytes / 1e6, tcp, tcp * size.bytes / 1e6, limit, memory / limit,
                    tcp / limit, hmac * 1e6, json);
        if (size.bytes == 65536) {
            inmem64 = memory / limit;
            tcp64 = tcp / limit;
            memory64 = memory;
            tcpRate64 = tcp;
            limit64 = limit;
        }
    }
    std::printf("* the largest payload a frame can carry: %d bytes (frame length limit 1 MiB)\n", largest);
    std::printf(
        "HMAC limit = 1 / (2 x one OpenSSL HMAC-SHA256 over label, counter and payload): a frame is sealed\n"
        "once and verified once. JSON = Qt serialising and parsing the same payload, which every frame\n"
        "also needs; it alone costs more than both tags, so it bounds the ratio.\n\n");

    const Handshakes rates = handshakes();
    std::printf("Handshakes on loopback against the model with -autoallow, one at a time\n");
    std::printf("%-32s %10.0f /s\n", "known phone (hello + auth)", rates.knownPerSecond);
    std::printf("%-32s %10.0f /s\n", "pairing (X25519, code, store)", rates.pairingsPerSecond);
    Bench::row("link: 64 KiB frames in memory (vs the HMAC-SHA256 limit)", memory64, limit64, "frames/s");
    Bench::row("link: 64 KiB frames over TCP on loopback (vs the HMAC-SHA256 limit)", tcpRate64, limit64,
               "frames/s");
    Bench::row("link: known-phone handshakes on loopback", rates.knownPerSecond, std::nullopt, "/s");
    Bench::row("link: pairings on loopback", rates.pairingsPerSecond, std::nullopt, "/s");
    std::printf("bench link: inmem_64k_ratio=%.2f tcp_64k_ratio=%.2f known_handshakes_per_s=%.0f "
                "pairings_per_s=%.0f\n",
                inmem64, tcp64, rates.knownPerSecond, rates.pairingsPerSecond);
    return 0;
}
