// The cloud peer's state across restarts: what it answered is there after it starts again, a journal
// line a kill cut short is dropped and later changes are kept after it, a purge empties its table for
// good, and one change costs one short journal line whatever the size of the state.
#include "CloudPeer.h"
#include "TestCertificates.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kUser = QStringLiteral("u@x.com");
const QString kContacts = QStringLiteral("Contacts");

struct Peer
{
    Peer()
    {
        QString error;
        EXPECT_TRUE(peertls::makeTestCertificates(folder.path(), {}, certificates, error)) << error.toStdString();
    }
    cloudpeer::CloudPeer &start()
    {
        if (peer)
            peer->stop();
        peer = std::make_unique<cloudpeer::CloudPeer>(
            cloudpeer::Options{stateFile(), certificates.certFile, certificates.keyFile, 0, 0});
        QString error;
        EXPECT_TRUE(peer->start(error)) << error.toStdString();
        return *peer;
    }
    QString stateFile() const { return folder.filePath(QStringLiteral("state.json")); }
    qint64 journalSize() const { return QFile(stateFile() + QStringLiteral(".journal")).size(); }
    QJsonObject post(const char *path, const QJsonObject &body) const
    {
        httplib::Client client("127.0.0.1", peer->httpPort());
        const auto reply = client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json");
        return reply ? QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object() : QJsonObject();
    }
    QString login() const
    {
        const QString digest = QString::fromLatin1(QCryptographicHash::hash("secret", QCryptographicHash::Md5).toHex().toUpper());
        return post("/v1/login.php", {{"Username", kUser}, {"Password", digest}, {"DeviceId", "D1"}})
            .value("Session")
            .toString();
    }

    QTemporaryDir folder;
    peertls::CertificateFiles certificates;
    std::unique_ptr<cloudpeer::CloudPeer> peer;
};

QJsonObject contact(int index)
{
    return {{"First", "Given"}, {"Last", QStringLiteral("Family %1").arg(index)}};
}

} // namespace

TEST(CloudPeerState, KeepsWhatItAnsweredAcrossRestartsAndDropsACutLine)
{
    Peer peer;
    cloudpeer::CloudPeer &first = peer.start();
    first.addAccount(kUser, QStringLiteral("secret"));
    first.putRecords(kUser, kContacts, {{"c1", contact(1)}, {"c2", contact(2)}, {"c3", contact(3)}});
    first.deleteRecord(kUser, kContacts, QStringLiteral("c2"));
    first.setPhoto(kUser, QStringLiteral("c3"), QByteArray("\xff\xd8picture", 9));
    const QString session = peer.login();
    ASSERT_FALSE(session.isEmpty());
    const QMap<QString, cloudpeer::StoredRecord> before = first.records(kUser, kContacts);

    // A kill while the next line was being written leaves it without its line end.
    QFile journal(peer.stateFile() + QStringLiteral(".journal"));
    ASSERT_TRUE(journal.open(QIODevice::Append));
    journal.write(R"({"accounts":{"u@x.com":{"records":{"Contacts":{"c9":{"fields":{"First":"Cut)");
    journal.close();

    cloudpeer::CloudPeer &second = peer.start();
    const QMap<QString, cloudpeer::StoredRecord> after = second.records(kUser, kContacts);
    ASSERT_EQ(after.keys(), before.keys());
    for (const QString &id : before.keys()) {
        EXPECT_EQ(after[id].fields, before[id].fields) << id.toStdString();
        EXPECT_EQ(after[id].modified, before[id].modified) << id.toStdString();
        EXPECT_EQ(after[id].writer, before[id].writer) << id.toStdString();
        EXPECT_EQ(after[id].sequence, before[id].sequence) << id.toStdString();
        EXPECT_EQ(after[id].deleted, before[id].deleted) << id.toStdString();
        EXPECT_EQ(after[id].photo, before[id].photo) << id.toStdString();
    }
    EXPECT_TRUE(after["c2"].deleted);
    EXPECT_EQ(second.sessions(kUser), QStringList{session});
    // Started again, the journal is folded into the snapshot: nothing follows the cut line.
    EXPECT_EQ(peer.journalSize(), 0);

    second.putRecord(kUser, kContacts, QStringLiteral("c4"), contact(4));
    cloudpeer::CloudPeer &third = peer.start();
    EXPECT_EQ(third.records(kUser, kContacts).keys(), (QStringList{"c1", "c2", "c3", "c4"}));
    EXPECT_EQ(third.records(kUser, kContacts).value("c4").sequence, 4);
}

TEST(CloudPeerState, APurgeEmptiesItsTableForGood)
{
    Peer peer;
    cloudpeer::CloudPeer &first = peer.start();
    first.addAccount(kUser, QStringLiteral("secret"));
    first.putRecords(kUser, kContacts, {{"c1", contact(1)}, {"c2", contact(2)}});
    first.putRecord(kUser, QStringLiteral("Calendar"), QStringLiteral("e1"), {{"Subject", "Kept"}});
    const QString session = peer.login();
    const QJsonObject purged =
        peer.post("/v1/purge.php", {{"Session", session}, {"Tables", QJsonArray{QJsonObject{{"Table", kContacts}}}}});
    EXPECT_EQ(purged.value("Result").toInt(-1), 0);
    first.putRecord(kUser, kContacts, QStringLiteral("c3"), contact(3));

    cloudpeer::CloudPeer &second = peer.start();
    EXPECT_EQ(second.records(kUser, kContacts).keys(), QStringList{"c3"});
    EXPECT_EQ(second.records(kUser, QStringLiteral("Calendar")).keys(), QStringList{"e1"});
    EXPECT_EQ(second.purgedTables(kUser), QStringList{kContacts});
}

TEST(CloudPeerState, OneChangeCostsOneShortLineWhateverTheStateHolds)
{
    Peer peer;
    cloudpeer::CloudPeer &first = peer.start();
    first.addAccount(kUser, QStringLiteral("secret"));
    QList<std::pair<QString, QJsonObject>> many;
    for (int index = 0; index < 5000; ++index)
        many.append({QStringLiteral("c%1").arg(index), contact(index)});
    first.putRecords(kUser, kContacts, many);
    const qint64 before = peer.journalSize();
    first.putRecord(kUser, kContacts, QStringLiteral("c1"), contact(100000));
    EXPECT_LT(peer.journalSize() - before, 1024);
    EXPECT_EQ(peer.start().records(kUser, kContacts).value("c1").fields, contact(100000));
}
