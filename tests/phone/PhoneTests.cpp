#include "link/LinkMessages.h"
#include "link/LinkSession.h"
#include "link/MemoryConnection.h"
#include "link/OVULink.h"
#include "link/PairedDevices.h"
#include "link/X25519KeyPair.h"
#include "phone/PhoneCommandLine.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "tests/support/EventLoop.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<bool> allow(QString, QString)
{
    co_return true;
}

// The phone's PhoneLink against the helper's LinkSession over an in-memory connection.
struct PhoneAndMac {
    QTemporaryDir folder;
    PairedDevices devices{folder.path() + u"/helper"_s};
    PhoneStore store{folder.path() + u"/phone"_s};
    std::shared_ptr<LinkSession> session;
    std::shared_ptr<PhoneLink> phone;
    std::optional<std::optional<QString>> closed;

    void run(PhoneLink::Mode mode)
    {
        auto [near, far] = MemoryConnection::makePair();
        session = LinkSession::create(std::move(near), devices, u"Test Mac"_s, allow,
                                      [](const std::shared_ptr<LinkSession>&) {});
        phone = PhoneLink::create(std::move(far), store, u"Test Phone"_s, mode);
        phone->onClosed = [this](const std::optional<QString>& reason) { closed = reason; };
        phone->start();
        Tests::drain();
    }
};

} // namespace

// The phone's happy paths (pairing, then connecting as a known phone) run against the real server
// in the server and end-to-end tests; here, each way it fails.
TEST(PhoneLink, EveryWayAPairingFailsIsSaid)
{
    const auto closing = [](PhoneAndMac& t, PhoneLink::Mode mode) {
        t.closed.reset();
        t.run(mode);
        EXPECT_TRUE(Tests::waitUntil([&] { return t.closed.has_value(); }));
        return t.closed->value_or(QString());
    };
    {
        PhoneAndMac t;
        EXPECT_EQ(closing(t, PhoneLink::Mode::connect),
                  u"This Mac does not know this phone yet: pair first."_s);
        t.devices.add(
            PairedDevice{t.store.phoneID(), u"old"_s, QByteArray(32, 'o'), std::chrono::system_clock::now()});
        EXPECT_TRUE(closing(t, PhoneLink::Mode::connect).contains(u"key"_s)) << "the phone lost its key";
        EXPECT_TRUE(closing(t, PhoneLink::Mode::pair).contains(u"key"_s));
    }
    // A helper that commits to one key and then answers with another: no code is shown.
    QTemporaryDir folder;
    PhoneStore store(folder.path() + u"/phone"_s);
    auto [near, far] = MemoryConnection::makePair();
    auto fake = OVULinkChannel::create(std::move(near), Role::helper);
    const X25519KeyPair committed = *X25519KeyPair::generate();
    const X25519KeyPair answered = *X25519KeyPair::generate();
    const QByteArray salt(16, 's');
    fake->onMessage = [&](const QJsonObject& message, bool) {
        if (LinkMessages::Hello::from(message)) {
            fake->send(LinkMessages::HelperHello{u"HELPER"_s, u"Fake"_s, QByteArray(16, 'n'), false,
                                                 OVULink::commitment(committed.publicKey(), salt)}
                           .json());
        } else {
            fake->send(LinkMessages::PairAnswer{answered.publicKey(), salt}.json());
        }
    };
    fake->start();
    auto phone = PhoneLink::create(std::move(far), store, u"Phone"_s, PhoneLink::Mode::pair);
    std::optional<std::optional<QString>> closed;
    bool gotCode = false;
    phone->onCode = [&](const QString&) { gotCode = true; };
    phone->onClosed = [&](const std::optional<QString>& reason) { closed = reason; };
    phone->start();
    ASSERT_TRUE(Tests::waitUntil([&] { return closed.has_value(); }));
    EXPECT_EQ(*closed, PhoneLink::commitmentMismatch());
    EXPECT_FALSE(gotCode);
}

TEST(PhoneCommandLine, TargetsAndOptions)
{
    const auto parse = [](const QStringList& arguments) {
        return PhoneCommandLine::parse(QStringList{u"ovu-phone"_s} + arguments);
    };
    // The commands and their options are the end-to-end tests' daily bread; the targets are read here.
    for (const auto& [target, host, port] :
         {std::tuple{u"helper.local"_s, u"helper.local"_s, 47813},
          std::tuple{u"10.0.0.2:5000"_s, u"10.0.0.2"_s, 5000}, std::tuple{u"[::1]:6000"_s, u"::1"_s, 6000},
          std::tuple{u"[fe80::1]"_s, u"fe80::1"_s, 47813}}) {
        const auto line = parse({u"connect"_s, target});
        EXPECT_TRUE(line.error.isEmpty());
        EXPECT_EQ(line.host, host);
        EXPECT_EQ(line.port, port);
    }
    for (const QString& bad : {u"h:0"_s, u"h:70000"_s, u"h:x"_s}) {
        EXPECT_FALSE(parse({u"pair"_s, bad}).error.isEmpty()) << bad.toStdString();
    }
}
