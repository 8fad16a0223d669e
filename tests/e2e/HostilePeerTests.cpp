// The real helper under load and against hostile peers on loopback: connections opened and
// dropped by the thousand, frames of the largest size at full speed, a peer sending one byte a
// second. Nothing is left behind and a real phone is still served. (What they cost in memory is
// measured by tools/bench load.)
#include "tests/support/EventLoop.h"
#include "tests/support/Processes.h"
#include "tests/support/Sanitizers.h"

#include <QElapsedTimer>
#include <QtEndian>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

TEST(Hostile, ThousandsOfConnectionsLargestFramesAndASlowPeerLeaveNothingBehindAndThePhoneServed)
{
    Tests::Home helperHome;
    Tests::Home phone;
    Tests::HelperProcess helper(helperHome, {u"-autoallow"_s});
    ASSERT_EQ(helper.waitUntilListening(), 47813);
    const pid_t pid = helper.pid();
    const auto pairs = [&](int ms) {
        return Tests::runPhone(phone, {u"pair"_s, u"127.0.0.1"_s}, ms).exitCode == 0;
    };
    // Trying again (as the phone app does) while the helper turns it away.
    ASSERT_TRUE(Tests::waitUntil([&] { return pairs(15000); }, 20s));

    // Ten thousand connections opened and dropped.
    const int descriptors = Tests::openDescriptors(pid);
    int refused = 0;
    for (int i = 0; i < 10000; ++i) {
        const int fd = Tests::connectToHelper();
        refused += fd < 0 ? 1 : 0;
        if (fd >= 0 && i % 2) {
            linger reset{1, 0}; // half of them reset, half closed
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(fd); // nothing for -1
    }
    EXPECT_LT(refused, 100) << "the listener keeps accepting";
    EXPECT_TRUE(Tests::waitUntil([&] { return pairs(15000); }, 20s));
    EXPECT_TRUE(Tests::waitUntil([&] { return Tests::openDescriptors(pid) <= descriptors; }, 5s))
        << Tests::openDescriptors(pid) << " descriptors, " << descriptors << " before";

    // The largest frame the channel takes, of garbage, and one longer than that, for 3 s.
    QByteArray big(4 + 1'048'576, 'x');
    qToBigEndian(static_cast<quint32>(1'048'576), big.data());
    QByteArray tooBig(4, Qt::Uninitialized);
    qToBigEndian(static_cast<quint32>(1'048'577), tooBig.data());
    QElapsedTimer clock;
    clock.start();
    for (int connections = 1; clock.elapsed() < 3000; ++connections) {
        const int fd = Tests::connectToHelper();
        ASSERT_GE(fd, 0);
        const QByteArray& bytes = connections % 4 == 0 ? tooBig : big;
        for (int i = 0; i < 4 && send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) > 0; ++i) {
        }
        close(fd);
    }

    // Then a peer sending a frame's length one byte a second takes one slot: a phone pairs
    // meanwhile as if nobody else were there.
    const int fd = Tests::connectToHelper();
    ASSERT_GE(fd, 0);
    for (const char byte : big.left(4)) {
        ASSERT_EQ(send(fd, &byte, 1, MSG_NOSIGNAL), 1);
        Tests::spin(1s);
    }
    EXPECT_TRUE(pairs(5000 * Tests::slowdown));
    close(fd);
}
