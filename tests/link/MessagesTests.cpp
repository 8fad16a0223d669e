// The wire vocabulary: each message's exact JSON, and what its parser refuses.
#include "link/LinkMessages.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
namespace M = LinkMessages;

namespace {

QJsonObject object(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

const QByteArray nonce(16, 'n');
const QByteArray key(32, 'k');
const QByteArray salt(16, 's');
const QString nonceText = QString::fromLatin1(nonce.toBase64());
const QString keyText = QString::fromLatin1(key.toBase64());
const M::Display screen{7, u"DELL U2720Q"_s, 1097, 617, 1920, 1080, true};

} // namespace

TEST(LinkMessages, EachMessageHasItsExactJsonAndReadsBackTheSame)
{
    const QString screenJson =
        uR"({"h":617,"id":7,"main":true,"name":"DELL U2720Q","ph":1080,"pw":1920,"w":1097})"_s;
    const std::vector<std::pair<QJsonObject, QString>> table = {
        {M::Hello{u"p1"_s, nonce, u"Anna"_s}.json(),
         uR"({"id":"p1","name":"Anna","nonce":")"_s + nonceText + uR"(","t":"hello"})"_s},
        {M::HelperHello{u"H"_s, u"Mac"_s, nonce, true, key}.json(),
         uR"({"commit":")"_s + keyText + uR"(","id":"H","known":true,"name":"Mac","nonce":")"_s + nonceText +
             uR"(","t":"hello","v":1})"_s},
        {M::Auth{}.json(), uR"({"t":"auth"})"_s},
        {M::Pair{key}.json(), uR"({"pub":")"_s + keyText + uR"(","t":"pair"})"_s},
        {M::PairAnswer{key, salt}.json(), uR"({"pub":")"_s + keyText + uR"(","salt":")"_s +
                                              QString::fromLatin1(salt.toBase64()) + uR"(","t":"pair"})"_s},
        {M::Paired{}.json(), uR"({"t":"paired"})"_s},
        {M::Denied{}.json(), uR"({"t":"denied"})"_s},
        {M::Ready{{screen}, true, false, true}.json(),
         uR"({"control":true,"displays":[)"_s + screenJson +
             uR"(],"record":false,"sound":true,"t":"ready"})"_s},
        {M::Displays{{screen}}.json(), uR"({"displays":[)"_s + screenJson + uR"(],"t":"displays"})"_s},
        {M::Control{false}.json(), uR"({"on":false,"t":"control"})"_s},
        {M::Show{7, 720}.json(), uR"({"display":7,"h":720,"t":"view"})"_s},
        {M::Showing{4294967295u}.json(), uR"({"display":4294967295,"t":"showing"})"_s},
        {M::Offer{u"v=0"_s}.json(), uR"({"sdp":"v=0","t":"offer"})"_s},
        {M::Answer{u"v=0"_s}.json(), uR"({"sdp":"v=0","t":"answer"})"_s},
        {M::Ice{u"candidate:1"_s, 0, u"video0"_s}.json(),
         uR"({"index":0,"mid":"video0","sdp":"candidate:1","t":"ice"})"_s},
        {M::Ice{u"candidate:2"_s, 1, {}}.json(), uR"({"index":1,"sdp":"candidate:2","t":"ice"})"_s},
        {M::Bye{u"This Mac no longer allows this phone."_s}.json(),
         uR"({"reason":"This Mac no longer allows this phone.","t":"bye"})"_s},
        {M::Bye{}.json(), uR"({"t":"bye"})"_s},
    };
    for (const auto& [message, json] : table) {
        EXPECT_EQ(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)), json);
    }
    // Each parser reads its own message back, and takes no other kind.
    EXPECT_EQ(M::Hello::from(table[0].first)->name, u"Anna"_s);
    EXPECT_TRUE(M::HelperHello::from(table[1].first)->known);
    EXPECT_EQ(M::PairAnswer::from(table[4].first)->salt, salt);
    EXPECT_EQ(M::Ready::from(table[7].first)->displays, QList<M::Display>{screen});
    EXPECT_EQ(M::Showing::from(table[11].first)->display, 4294967295u);
    EXPECT_EQ(M::Ice::from(table[14].first)->mid, u"video0"_s);
    EXPECT_FALSE(M::Ice::from(table[15].first)->mid);
    EXPECT_FALSE(M::Offer::from(table[13].first)) << "an answer is no offer";
    EXPECT_FALSE(M::Paired::from(table[6].first)) << "denied is not paired";
}

TEST(LinkMessages, PeersFieldsAreCheckedAsTheProtocolSays)
{
    // The phone's hello: an id of 1 to 64 characters as the user sees them, a nonce of exactly 16
    // bytes in strict base64.
    const QString accented = u"e\u0301"_s;
    const auto hello = [](const QJsonValue& id, const QJsonValue& nonceValue) {
        return M::Hello::from(QJsonObject{{u"t"_s, u"hello"_s}, {u"id"_s, id}, {u"nonce"_s, nonceValue}});
    };
    EXPECT_TRUE(hello(accented.repeated(64), nonceText));
    for (const QJsonValue& id :
         {QJsonValue(accented.repeated(65)), QJsonValue(u""_s), QJsonValue(7), QJsonValue()}) {
        EXPECT_FALSE(hello(id, nonceText)) << QJsonDocument(QJsonObject{{u"id"_s, id}}).toJson().constData();
    }
    for (const QJsonValue& bad :
         {QJsonValue(QString::fromLatin1(QByteArray(15, 'n').toBase64())), QJsonValue(nonceText.chopped(2)),
          QJsonValue(u"AAAAAAAAAAAAAAAAAAAA AA=="_s), QJsonValue(16)}) {
        EXPECT_FALSE(hello(u"p"_s, bad));
    }
    EXPECT_FALSE(M::Pair::from(object(R"({"t":"pair","pub":"a2V5"})"))) << "a key of 3 bytes";
    EXPECT_FALSE(M::PairAnswer::from(QJsonObject{{u"t"_s, u"pair"_s}, {u"pub"_s, keyText}})) << "no salt";

    // "start" and "view" alike; a display or height of the wrong kind is absent, a height any
    // whole number.
    const auto show = [](const char* json) { return M::Show::from(object(json)); };
    EXPECT_EQ(show(R"({"t":"start","display":3,"h":720})")->display, 3u);
    EXPECT_EQ(show(R"({"t":"view","h":10000000000})")->height, 1e10);
    EXPECT_FALSE(show(R"({"t":"view","h":720.5})")->height);
    EXPECT_FALSE(show(R"({"t":"view","display":-1,"h":"x"})")->display);
    EXPECT_FALSE(show(R"({"t":"view","display":4294967296})")->display);
    EXPECT_FALSE(show(R"({"t":"showing"})"));
    // A candidate needs its line; an index that is no integer is 0.
    EXPECT_FALSE(M::Ice::from(object(R"({"t":"ice","index":1})")));
    EXPECT_EQ(M::Ice::from(object(R"({"t":"ice","sdp":"c","index":1.5})"))->index, 0);
    EXPECT_FALSE(M::Ready::from(
        object(R"({"t":"ready","displays":[{"id":1}],"control":true,"record":true,"sound":true})")));
    EXPECT_EQ(M::typeOf(object(R"({"t":5})")), QString());
}
