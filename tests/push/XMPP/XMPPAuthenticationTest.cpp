// The digests and encodings of the logins, and the mechanisms' texts: published examples, byte for
// byte.

#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/NSData+Encrypt.h"

#include <gtest/gtest.h>

using platform::NSXMLElement;

namespace {

std::shared_ptr<NSXMLElement> challengeOf(const QByteArray &text)
{
    const auto challenge = elementWithName(QStringLiteral("challenge"), QStringLiteral("urn:ietf:params:xml:ns:xmpp-sasl"));
    challenge->setStringValue(base64Encoded(text));
    return challenge;
}

} // namespace

TEST(XMPPDigests, KnownDigestsHexAndBase64BothWays)
{
    EXPECT_EQ(hexStringValue(md5Digest("")), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(hexStringValue(sha1Digest("abc")), QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(md5Digest("x").size(), 16);
    EXPECT_EQ(sha1Digest("x").size(), 20);
    EXPECT_EQ(hexStringValue(QByteArray("\x0a\xff", 2)), QStringLiteral("0aff"));
    EXPECT_EQ(hexStringValue(QByteArray()), QString());

    // RFC 4648's test vectors.
    const QList<QPair<QByteArray, QString>> vectors = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"}};
    for (const auto &[bytes, text] : vectors) {
        EXPECT_EQ(base64Encoded(bytes), text);
        EXPECT_EQ(base64Decoded(text.toLatin1()), bytes) << text.toStdString();
    }
    // Blanks and line breaks are skipped; decoding stops at the first "=".
    EXPECT_EQ(base64Decoded("Zm9v\r\nYm Fy"), QByteArray("foobar"));
    EXPECT_EQ(base64Decoded("Zg==Zm9v"), QByteArray("f"));
    const QByteArray all = [] {
        QByteArray bytes;
        for (int i = 0; i < 256; ++i)
            bytes.append(char(i));
        return bytes;
    }();
    EXPECT_EQ(base64Decoded(base64Encoded(all).toLatin1()), all);
}

TEST(XMPPDigestMD5, TheWorkedExampleOfRFC2831GivesItsPublishedResponse)
{
    XMPPDigestMD5Authentication auth(nullptr, QStringLiteral("secret"));
    auth.username = QStringLiteral("chris");
    auth.realm = QStringLiteral("elwood.innosoft.com");
    auth.nonce = QStringLiteral("OA6MG9tEQGm2hh");
    auth.cnonce = QStringLiteral("OA6MHXh6VqTrRk");
    auth.digestURI = QStringLiteral("imap/elwood.innosoft.com");
    EXPECT_EQ(auth.responseDigest(), QStringLiteral("d388dad90d4bbd760a152321f2143af7"));
    EXPECT_EQ(auth.response(),
              QStringLiteral("username=\"chris\",realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\","
                             "cnonce=\"OA6MHXh6VqTrRk\",nc=00000001,qop=auth,digest-uri=\"imap/elwood.innosoft.com\","
                             "response=d388dad90d4bbd760a152321f2143af7,charset=utf-8"));
}

TEST(XMPPDigestMD5, ChallengeDecodingKeepsTheServersTextAsItComes)
{
    const auto values = XMPPDigestMD5Authentication::dictionaryFromChallenge(*challengeOf(
        "realm=\"elwood.innosoft.com\", nonce=\"OA6MG9tEQGm2hh\",qop=\"auth,auth-int\",empty=\"\",bare, charset=utf-8"));
    EXPECT_EQ(values.value(QStringLiteral("realm")), QStringLiteral("elwood.innosoft.com"));
    EXPECT_EQ(values.value(QStringLiteral("nonce")), QStringLiteral("OA6MG9tEQGm2hh"));
    // A quoted list is cut at its comma; the piece keeps its opening quote.
    EXPECT_EQ(values.value(QStringLiteral("qop")), QStringLiteral("\"auth"));
    // Two quote characters alone stay.
    EXPECT_EQ(values.value(QStringLiteral("empty")), QStringLiteral("\"\""));
    EXPECT_EQ(values.value(QStringLiteral("charset")), QStringLiteral("utf-8"));
    EXPECT_FALSE(values.contains(QStringLiteral("bare")));
    // Text that is no Base64 of key-value pairs gives no keys.
    const auto garbage = elementWithName(QStringLiteral("challenge"), QString());
    garbage->setStringValue(QStringLiteral("!!!"));
    EXPECT_TRUE(XMPPDigestMD5Authentication::dictionaryFromChallenge(*garbage).isEmpty());
}

TEST(XMPPLegacyDigest, TheDigestOfTheStreamIdAndPasswordIsTheDocumentedOne)
{
    EXPECT_EQ(XMPPDeprecatedDigestAuthentication::digest(QStringLiteral("3EE948B0"), QStringLiteral("Calli0pe")),
              QStringLiteral("48fc78be9ec8f86d8ce1c39c320c97c21d62334d"));
}

TEST(XMPPPlain, ThePayloadIsNulUserNulPasswordInBase64)
{
    const QString password = hexStringValue(md5Digest("secret"));
    EXPECT_EQ(password, QStringLiteral("5ebe2294ecd0e0f08eab7690d2a6ee69"));
    EXPECT_EQ(XMPPPlainAuthentication::payload(QStringLiteral("bob#example.com"), password),
              QStringLiteral("AGJvYiNleGFtcGxlLmNvbQA1ZWJlMjI5NGVjZDBlMGYwOGVhYjc2OTBkMmE2ZWU2OQ=="));
}
