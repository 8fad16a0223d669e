// Arbitrary bytes and frames into a link channel: raw bytes as they come, plain frames, and
// frames sealed correctly under the channel's key, so that the checks after the tag (the JSON
// payload) are reached too.
#include "link/MemoryConnection.h"
#include "link/OVULinkChannel.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/Bytes.h"

namespace {

const QByteArray key(32, '\x33');

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    auto [near, far] = MemoryConnection::makePair();
    MemoryConnection* peer = far.get();
    auto channel = OVULinkChannel::create(std::move(near), (mode & 1) ? Role::helper : Role::phone);
    if (mode & 2) {
        channel->installKey(key);
    }
    channel->requiresProof = (mode & 4) != 0;
    int messages = 0;
    channel->onMessage = [&](const QJsonObject& message, bool) {
        messages += static_cast<int>(message.size());
        channel->send(message); // echoing exercises the sending side with what was parsed
    };
    channel->onClosed = [](const std::optional<QString>&) {};
    channel->start();
    Fuzz::drain();

    const char label = static_cast<char>(rawValue(otherRole(channel->role)));
    std::uint64_t counter = 0;
    Fuzz::Records records(data + 1, size - 1);
    std::uint8_t kind = 0;
    QByteArray body;
    while (records.next(kind, body) && !channel->isClosed()) {
        switch (kind % 4) {
        case 0:
            peer->send(body);
            break;
        case 1:
            peer->send(Tests::frame(0x00, body));
            break;
        case 2:
            peer->send(Tests::sealedFrame(key, label, counter++, body));
            break;
        case 3:
            if (!body.isEmpty() && body[0] == 'c') {
                channel->close();
            } else {
                peer->cancel();
            }
            break;
        }
        Fuzz::drain();
    }
    channel.reset();
    Fuzz::drain();
    return 0;
}
