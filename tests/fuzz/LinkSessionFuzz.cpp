// The helper's handshake fed by a fuzzed phone: raw bytes, plain frames, a valid hello of a
// known phone, and frames sealed under that phone's session key, with the user's answer to a
// pairing taken from the input too.
#include "link/LinkMessages.h"
#include "link/LinkSession.h"
#include "link/MemoryConnection.h"
#include "link/OVULink.h"
#include "link/PairedDevices.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

const QByteArray storedKey(32, '\x5a');
const QByteArray phoneNonce(16, '\x11');

PairedDevices& store()
{
    static QTemporaryDir folder;
    static PairedDevices devices(folder.path() + u"/helper"_s);
    static bool seeded = [] {
        devices.add(PairedDevice{u"phone-1"_s, u"Known"_s, storedKey, std::chrono::system_clock::now()});
        return true;
    }();
    (void)seeded;
    return devices;
}

QCoro::Task<bool> answer(bool allowed)
{
    co_return allowed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const bool allow = (data[0] & 1) != 0;
    PairedDevices& devices = store();
    auto [mac, far] = MemoryConnection::makePair();
    auto session = LinkSession::create(
        std::move(mac), devices, u"Fuzz Mac"_s, [allow](QString, QString) { return answer(allow); },
        [](const std::shared_ptr<LinkSession>& proved) { proved->onMessage = [](const QJsonObject&) {}; });
    session->onClosed = [] {};
    // The fuzzer's phone: its own channel, so sealed frames follow the protocol's counters.
    auto phone = OVULinkChannel::create(std::move(far), Role::phone);
    phone->onMessage = [&](const QJsonObject& message, bool) {
        if (const auto hello = LinkMessages::HelperHello::from(message); hello && hello->known) {
            phone->installKey(OVULink::sessionKey(storedKey, phoneNonce, hello->nonce));
        }
    };
    phone->onClosed = [](const std::optional<QString>&) {};
    phone->start();
    Fuzz::drain();

    Fuzz::Records records(data + 1, size - 1);
    std::uint8_t kind = 0;
    QByteArray body;
    while (records.next(kind, body) && !session->channel->isClosed()) {
        const QJsonObject object = QJsonDocument::fromJson(body).object();
        switch (kind % 4) {
        case 0:
            static_cast<MemoryConnection&>(phone->connection()).send(body);
            break;
        case 1:
            // A JSON payload sent by the phone's channel (plain or sealed, as its key stands).
            phone->send(object);
            break;
        case 2:
            phone->send(LinkMessages::Hello{u"phone-1"_s, phoneNonce, QString::fromUtf8(body)}.json());
            break;
        case 3:
            phone->send(LinkMessages::Auth{}.json());
            break;
        }
        Fuzz::drain();
    }
    session->close();
    session.reset();
    phone.reset();
    Fuzz::drain();
    return 0;
}
