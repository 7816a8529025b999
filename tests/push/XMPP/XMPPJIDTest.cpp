// Addresses as XMPP prepares and compares them, through GNU libidn's real profiles.
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "push/XMPP/Core/XMPPJID.h"
#include "push/XMPP/Utilities/LibIDN.h"

#include <QSet>

#include <gtest/gtest.h>

namespace {

// "-" stands for an absent part, so a row shows absent and empty apart.
QString shown(const QString &part)
{
    return part.isNull() ? QStringLiteral("-") : part;
}

QString partsOf(const XMPPJID::Ptr &jid)
{
    if (!jid)
        return QStringLiteral("nil");
    return shown(jid->user()) + QLatin1Char('|') + shown(jid->domain()) + QLatin1Char('|') + shown(jid->resource());
}

} // namespace

TEST(XMPPJID, ParsesPreparesAndValidatesTheParts)
{
    struct Row
    {
        const char *text;
        const char *parts;
        const char *full;
    };
    const Row rows[] = {
        {"user@domain/res", "user|domain|res", "user@domain/res"},
        {"User@Domain/Res", "user|domain|Res", "user@domain/Res"},
        {"domain/res", "-|domain|res", "domain/res"},
        {"domain", "-|domain|-", "domain"},
        {"@domain", "|domain|-", "@domain"},
        {"user@", "nil", ""},
        {"user@domain/", "nil", ""},
        {"a@b@c", "nil", ""},
        {"", "nil", ""},
        {"/res", "nil", ""},
        {"a/b@c", "nil", ""}, // the user "a/b" may not hold "/"
        {"u@d/r/s", "u|d|r/s", "u@d/r/s"},
        {"Stra\xc3\x9f"
         "e@EXAMPLE.net",
         "strasse|example.net|-", "strasse@example.net"},
        {"bad\"quote@d", "nil", ""},             // a rejected user is no address, not the server "d"
        {"u@d/\xe2\x80\x8f", "nil", ""},         // a right-to-left mark alone breaks the bidirectional rule
        {"u@d/\xef\xbb\xbfr", "u|d|r", "u@d/r"}, // a byte-order mark maps to nothing
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        const XMPPJID::Ptr jid = XMPPJID::jidWithString(QString::fromUtf8(row.text));
        EXPECT_EQ(partsOf(jid), QString::fromUtf8(row.parts));
        if (jid) {
            EXPECT_EQ(jid->full(), QString::fromUtf8(row.full));
            EXPECT_EQ(jid->description(), jid->full());
        }
    }
    EXPECT_FALSE(XMPPJID::jidWithString(QString()));
    QString user = QStringLiteral("x");
    QString domain = QStringLiteral("x");
    EXPECT_FALSE(XMPPJID::parse(QStringLiteral("user@"), &user, &domain, nullptr));
    EXPECT_TRUE(user.isNull() && domain.isNull());
}

TEST(XMPPJID, ComparesByMaskAndHashesEqualAddressesEqually)
{
    const auto upper = XMPPJID::jidWithString(QStringLiteral("User@Domain/Res"));
    const auto lower = XMPPJID::jidWithString(QStringLiteral("user@domain/Res"));
    const auto otherResource = XMPPJID::jidWithString(QStringLiteral("user@domain/res"));
    const auto bare = XMPPJID::jidWithString(QStringLiteral("user@domain"));
    ASSERT_TRUE(upper && lower && otherResource && bare);
    EXPECT_TRUE(upper->isEqualToJID(lower));
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(upper->hash(), lower->hash());
    EXPECT_FALSE(upper->isEqualToJID(otherResource));
    EXPECT_TRUE(upper->isEqualToJID(otherResource, XMPPJIDCompareBare));
    EXPECT_TRUE(upper->isEqualToJID(otherResource, XMPPJIDCompareDomain));
    EXPECT_FALSE(upper->isEqualToJID(bare, XMPPJIDCompareResource));
    EXPECT_TRUE(upper->isEqualToJID(bare, XMPPJIDCompareBare));
    EXPECT_FALSE(upper->isEqualToJID(XMPPJID::Ptr()));
    // An empty user is a user: "@domain" is not "domain".
    EXPECT_FALSE(
        XMPPJID::jidWithString(QStringLiteral("@d"))->isEqualToJID(XMPPJID::jidWithString(QStringLiteral("d"))));
    const QSet<XMPPJID> addresses{*upper, *lower, *otherResource, *bare};
    EXPECT_EQ(addresses.size(), 3);
    // MurmurHash64A of three zero words with the seed 0xA2F1B6F, as an independent implementation gives it.
    EXPECT_EQ(XMPPJID().hash(), 0xb4e38638ed2c4783ULL);
}

TEST(XMPPJID, BuildsFromPartsAndNewResources)
{
    const auto withResource = XMPPJID::jidWithString(QStringLiteral("a@b/x"), QStringLiteral("y"));
    ASSERT_TRUE(withResource);
    EXPECT_EQ(withResource->full(), QStringLiteral("a@b/y"));
    EXPECT_FALSE(XMPPJID::jidWithString(QStringLiteral("a@b/x"), QStringLiteral("")));
    EXPECT_FALSE(XMPPJID::jidWithString(QStringLiteral("a@b/"), QStringLiteral("y")));
    EXPECT_EQ(partsOf(XMPPJID::jidWithString(QStringLiteral("a@b/x"), QString())), QStringLiteral("a|b|-"));

    EXPECT_EQ(partsOf(XMPPJID::jidWithUser(QStringLiteral("Me"), QStringLiteral("Host"), QString())),
              QStringLiteral("me|host|-"));
    EXPECT_FALSE(XMPPJID::jidWithUser(QStringLiteral("me"), QString(), QString()));
    EXPECT_FALSE(XMPPJID::jidWithUser(QStringLiteral("me"), QStringLiteral("h"), QStringLiteral("")));
    EXPECT_EQ(partsOf(XMPPJID::jidWithPrevalidatedUser(QStringLiteral("Me"), QStringLiteral("H@st"), QString())),
              QStringLiteral("Me|H@st|-"));
    EXPECT_FALSE(XMPPJID::jidWithPrevalidatedUserPrevalidatedDomainResource(QStringLiteral("Me"), QStringLiteral("h"),
                                                                            QStringLiteral("")));

    const auto full = XMPPJID::jidWithString(QStringLiteral("u@d/r"));
    EXPECT_EQ(full->jidWithNewResource(QStringLiteral("R2"))->full(), QStringLiteral("u@d/R2"));
    EXPECT_EQ(full->bareJID()->full(), QStringLiteral("u@d"));
    EXPECT_EQ(full->domainJID()->full(), QStringLiteral("d"));
    EXPECT_EQ(full->bare(), QStringLiteral("u@d"));
    const auto bare = full->bareJID();
    EXPECT_EQ(bare->bareJID().get(), bare.get());
    const auto domain = XMPPJID::jidWithString(QStringLiteral("d"));
    EXPECT_EQ(domain->domainJID().get(), domain.get());
    EXPECT_TRUE(full->isFullWithUser() && full->isFull() && !full->isBare() && !full->isServer());
    EXPECT_TRUE(bare->isBareWithUser() && bare->isBare());
    EXPECT_TRUE(domain->isServer() && !domain->isBareWithUser());
    EXPECT_FALSE(XMPPJID::jidWithString(QStringLiteral("@d"))->isServer());
}

TEST(XMPPJID, APartTooLongForThePreparationBufferGivesNoAddress)
{
    const QString user1023(1023, QLatin1Char('u'));
    const QString user1024(1024, QLatin1Char('u'));
    const auto fits = XMPPJID::jidWithString(user1023 + QStringLiteral("@d"));
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->user(), user1023);
    EXPECT_FALSE(XMPPJID::jidWithString(user1024 + QStringLiteral("@d")));
    EXPECT_FALSE(XMPPJID::jidWithString(QStringLiteral("u@d/") + QString(5000, QLatin1Char('r'))));
    // 512 two-byte characters are 1024 bytes of UTF-8.
    EXPECT_TRUE(LibIDN::prepResource(QString(511, QChar(0xE9))).size() == 511);
    EXPECT_TRUE(LibIDN::prepResource(QString(512, QChar(0xE9))).isNull());
    EXPECT_TRUE(LibIDN::prepNode(QString()).isNull());
    EXPECT_EQ(LibIDN::prepDomain(QStringLiteral("EXAMPLE.Net")), QStringLiteral("example.net"));
}

TEST(XMPPJID, EncodesAndDecodesItsParts)
{
    const auto jid = XMPPJID::jidWithString(QStringLiteral("@d/r"));
    platform::KeyedArchiver archiver;
    archiver.encodeObject(*jid, QStringLiteral("root"));
    const auto data = archiver.finishEncoding();
    ASSERT_TRUE(data);
    auto decoded = platform::KeyedUnarchiver::unarchiveObject<XMPPJID>(*data, QStringLiteral("root"));
    ASSERT_TRUE(decoded) << decoded.error().message().toStdString();
    EXPECT_EQ(partsOf(std::shared_ptr<const XMPPJID>(std::move(decoded.value()))), QStringLiteral("|d|r"));
}
