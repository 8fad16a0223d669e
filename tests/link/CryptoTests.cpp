#include "link/CryptoPrimitives.h"
#include "link/OVULink.h"
#include "link/X25519KeyPair.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

using Tests::hex;
using Tests::hexOf;

namespace {

// RFC 7748, section 6.1.
const QByteArray alicePrivate = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
const QByteArray alicePublic = hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
const QByteArray bobPrivate = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
const QByteArray bobPublic = hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
const QByteArray sharedSecret = hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");

// The pairing values below were computed with Python's hashlib and hmac (HKDF written out from
// RFC 5869), taking Alice as the phone and Bob as the Mac.
const QByteArray phoneKey = alicePublic;
const QByteArray helperKey = bobPublic;

QByteArray bytesFrom(int first, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i) {
        out.append(static_cast<char>(first + i));
    }
    return out;
}

} // namespace

// SHA-256, HMAC and HKDF are checked through the pairing values below and the channel's tags,
// which the tests compute independently; X25519 on its own, as the pairing tests start from the
// shared secret.
TEST(Primitives, X25519KnownAnswer)
{
    const auto alice = X25519KeyPair::fromPrivateBytes(alicePrivate);
    const auto bob = X25519KeyPair::fromPrivateBytes(bobPrivate);
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(hexOf(alice->publicKey()), hexOf(alicePublic));
    EXPECT_EQ(hexOf(alice->sharedSecret(bobPublic).value_or("")), hexOf(sharedSecret));
    EXPECT_EQ(hexOf(bob->sharedSecret(alicePublic).value_or("")), hexOf(sharedSecret));
}

TEST(Primitives, X25519RefusesWhatIsNoKey)
{
    const auto key = X25519KeyPair::generate();
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->sharedSecret(bobPublic.left(31)));
    EXPECT_FALSE(key->sharedSecret(bobPublic + "x"));
}

TEST(Pairing, CommitmentCodeAndKeysMatchIndependentlyComputedValues)
{
    const QByteArray salt = bytesFrom(0, 16);
    // Key, then salt.
    EXPECT_EQ(hexOf(OVULink::commitment(helperKey, salt)),
              "3d7826cf83f731696b8c78de8fa3ad1e1ea6bdd7f19c0e3b7f440e442df57223");
    // Six digits with leading zeros: 2,666,060,143 and 103,000,809 modulo 1,000,000. The phone's
    // key comes first in the salt.
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, phoneKey, helperKey).toStdString(), "060143");
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, helperKey, phoneKey).toStdString(), "188026");
    const QByteArray otherPhone = hex("c5b3dd81d9c5a7057ef6bd299d38face1c1ab759b8e52f710074550995ccc1bb");
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, otherPhone, helperKey).toStdString(), "000809");
    EXPECT_EQ(hexOf(OVULink::pairKey(sharedSecret, phoneKey, helperKey)),
              "a575534e4a0dc6d20c959337a4930c3addeb8d42c975a164b8c7243ab0c3d5dd");
    // The phone's nonce first.
    const QByteArray pairKey = hex("a575534e4a0dc6d20c959337a4930c3addeb8d42c975a164b8c7243ab0c3d5dd");
    EXPECT_EQ(hexOf(OVULink::sessionKey(pairKey, bytesFrom(0xA0, 16), bytesFrom(0xB0, 16))),
              "44051c6e484140acb2671ec142ccf405bf343e5ce0d7586392d90ef632d92005");
}
