#include "link/CryptoPrimitives.h"
#include "link/HmacSha256.h"
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

// HKDF-SHA256 for outputs of at most 32 bytes, from its definition, on HMAC alone.
QByteArray hkdfByDefinition(const QByteArray& ikm, const QByteArray& salt, const QByteArray& info, int length)
{
    const QByteArray prk = Tests::hmac(salt, ikm);
    return Tests::hmac(prk, info + QByteArray(1, 0x01)).left(length);
}

} // namespace

TEST(Primitives, Sha256MatchesFips180Vector)
{
    EXPECT_EQ(hexOf(Crypto::sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexOf(Crypto::sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Primitives, HmacSha256MatchesRfc4231Vectors)
{
    HmacSha256 jefe("Jefe");
    EXPECT_EQ(hexOf(jefe.tag({"what do ya ", "want for nothing?"})),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // The same context computes independent tags one after the other.
    EXPECT_EQ(hexOf(jefe.tag({"what do ya want for nothing?"})),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    HmacSha256 twenty(QByteArray(20, '\x0b'));
    EXPECT_EQ(hexOf(twenty.tag({"Hi There"})),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
}

TEST(Primitives, HkdfMatchesRfc5869Vectors)
{
    const QByteArray ikm(22, '\x0b');
    EXPECT_EQ(
        hexOf(Crypto::hkdfSha256(ikm, hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42)),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(hexOf(Crypto::hkdfSha256(ikm, QByteArray(), QByteArray(), 42)),
              "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(Primitives, X25519MatchesRfc7748Vector)
{
    const auto alice = X25519KeyPair::fromPrivateBytes(alicePrivate);
    const auto bob = X25519KeyPair::fromPrivateBytes(bobPrivate);
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(hexOf(alice->publicKey()), hexOf(alicePublic));
    EXPECT_EQ(hexOf(bob->publicKey()), hexOf(bobPublic));
    EXPECT_EQ(hexOf(alice->sharedSecret(bobPublic).value_or("")), hexOf(sharedSecret));
    EXPECT_EQ(hexOf(bob->sharedSecret(alicePublic).value_or("")), hexOf(sharedSecret));
}

TEST(Primitives, X25519RefusesKeysThatAreNotKeys)
{
    const auto key = X25519KeyPair::generate();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->publicKey().size(), 32);
    EXPECT_FALSE(key->sharedSecret(bobPublic.left(31)));
    EXPECT_FALSE(key->sharedSecret(bobPublic + "x"));
    // A low-order point gives the all-zero secret, which the agreement refuses.
    EXPECT_FALSE(key->sharedSecret(QByteArray(32, '\0')));
    EXPECT_NE(hexOf(X25519KeyPair::generate()->publicKey()), hexOf(key->publicKey()));
}

TEST(Primitives, RandomBytesHaveTheAskedLength)
{
    const auto a = Crypto::randomBytes(16);
    const auto b = Crypto::randomBytes(16);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 16);
    EXPECT_NE(*a, *b);
}

TEST(Pairing, CommitmentHashesKeyThenSalt)
{
    const QByteArray salt = bytesFrom(0, 16);
    EXPECT_EQ(hexOf(OVULink::commitment(helperKey, salt)),
              "3d7826cf83f731696b8c78de8fa3ad1e1ea6bdd7f19c0e3b7f440e442df57223");
    EXPECT_EQ(hexOf(OVULink::commitment(salt, helperKey)),
              "36c9f37d35316644561fff16544380c92c88f457a8ecb45219251e6d134d6850");
    EXPECT_EQ(OVULink::commitment(helperKey, salt), Crypto::sha256(helperKey + salt));
}

TEST(Pairing, ComparisonCodeIsSixDigitsWithLeadingZeros)
{
    // 2,666,060,143 modulo 1,000,000 is 60,143.
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, phoneKey, helperKey).toStdString(), "060143");
    // The phone's key always comes first in the salt.
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, helperKey, phoneKey).toStdString(), "188026");
    // 103,000,809 modulo 1,000,000 is 809.
    const QByteArray otherPhone = hex("c5b3dd81d9c5a7057ef6bd299d38face1c1ab759b8e52f710074550995ccc1bb");
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, otherPhone, helperKey).toStdString(), "000809");

    const QByteArray okm = hkdfByDefinition(sharedSecret, phoneKey + helperKey, "ovu-link code", 4);
    const quint32 n = (quint32(quint8(okm[0])) << 24) | (quint32(quint8(okm[1])) << 16) |
                      (quint32(quint8(okm[2])) << 8) | quint32(quint8(okm[3]));
    EXPECT_EQ(OVULink::comparisonCode(sharedSecret, phoneKey, helperKey),
              QString::asprintf("%06u", static_cast<unsigned>(n % 1000000)));
}

TEST(Pairing, PairKeyIsHkdfOfTheSecretWithThePhoneKeyFirst)
{
    EXPECT_EQ(hexOf(OVULink::pairKey(sharedSecret, phoneKey, helperKey)),
              "a575534e4a0dc6d20c959337a4930c3addeb8d42c975a164b8c7243ab0c3d5dd");
    EXPECT_EQ(hexOf(OVULink::pairKey(sharedSecret, helperKey, phoneKey)),
              "6797ecd217f526354849aeb73fb12a93bb17ef38ed0ee18172c65e6765968563");
    EXPECT_EQ(OVULink::pairKey(sharedSecret, phoneKey, helperKey),
              hkdfByDefinition(sharedSecret, phoneKey + helperKey, "ovu-link pair key", 32));
}

TEST(Pairing, SessionKeyDependsOnBothNoncesPhoneFirst)
{
    const QByteArray pairKey = hex("a575534e4a0dc6d20c959337a4930c3addeb8d42c975a164b8c7243ab0c3d5dd");
    const QByteArray phoneNonce = bytesFrom(0xA0, 16);
    const QByteArray helperNonce = bytesFrom(0xB0, 16);
    EXPECT_EQ(hexOf(OVULink::sessionKey(pairKey, phoneNonce, helperNonce)),
              "44051c6e484140acb2671ec142ccf405bf343e5ce0d7586392d90ef632d92005");
    EXPECT_EQ(hexOf(OVULink::sessionKey(pairKey, helperNonce, phoneNonce)),
              "1ce3c67adcb289483e4ac688229c6e697570788db3fe1fbc6727f37cc45c2df8");
    EXPECT_EQ(OVULink::sessionKey(pairKey, phoneNonce, helperNonce),
              hkdfByDefinition(pairKey, phoneNonce + helperNonce, "ovu-link session", 32));
    QByteArray otherNonce = helperNonce;
    otherNonce[15] = 0;
    EXPECT_NE(OVULink::sessionKey(pairKey, phoneNonce, otherNonce),
              OVULink::sessionKey(pairKey, phoneNonce, helperNonce));
}

TEST(Pairing, LabelsHaveNoTerminator)
{
    EXPECT_EQ(OVULink::codeLabel.size(), 13);
    EXPECT_EQ(OVULink::pairKeyLabel.size(), 17);
    EXPECT_EQ(OVULink::sessionLabel.size(), 16);
}
