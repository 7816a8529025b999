// The sync driver killed (SIGKILL) right after the phone answered an update batch, before anything of
// the answer was kept: the phone holds what the batch sent, and the desktop does not know it. The next
// syncs must leave every contact once on each side with its last content:
// - a phone that lists the desktop's own writes back as its changes lists the batch's change at the
//   next sync; a desktop edit made after the kill survives that listing under every conflict rule;
// - a new contact the batch sent, which the phone then edited, is matched with the phone's copy once
//   the whole listing is read, and a new phone contact listed before the unchanged copy is not taken
//   for it.

#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTime>

using phonepeer::Conduit;

namespace {

constexpr int kRunLimitMs = 120000;
const QString kKillAtFirstAnswer = QStringLiteral("HM_SYNC_KILL_AT=update-answered:1");

// The family names of the persons in a folder of vCards, with the file of each.
QMultiMap<QString, QString> familyNamesInFolder(const QString &folder)
{
    QMultiMap<QString, QString> names;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.vcf")}, QDir::Files)) {
        QFile file(folder + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray card = file.readAll().replace("\r\n ", "").replace("\r\n", "\n");
        for (const QByteArray &line : card.split('\n')) {
            if (line.startsWith("N:"))
                names.insert(QString::fromUtf8(line.mid(2).split(';').value(0)), file.fileName());
        }
    }
    return names;
}

// The folder store tells changes by times kept to the second: an edit waits for the next second.
void waitForTheNextSecond()
{
    QThread::msleep(quint64(1010 - QTime::currentTime().msec()));
}

// A card another program wrote, with its REV now.
void writeCard(const QString &path, const QByteArray &uid, const QByteArray &familyName)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QByteArray rev = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
    ASSERT_GT(file.write("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:Desk " + familyName +
                         "\r\nN:" + familyName + ";Desk;;;\r\nREV:" + rev + "\r\nEND:VCARD\r\n"),
              0);
}

class AnsweredBatchRig
{
public:
    explicit AnsweredBatchRig(const QString &conflictRule, bool listsOwnWrites) : m_conflictRule(conflictRule)
    {
        preparePhoneLinkTests();
        m_peer = startPhonePeer(0);
        m_peer->setListReadings({phonepeer::ListReadings::Count::PageRows, false, listsOwnWrites});
        EXPECT_TRUE(QDir().mkpath(folder()));
        writeCard(folder() + QStringLiteral("/alpha.vcf"), "alpha", "Alpha");
        m_peer->addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Pho")},
                                                   {QStringLiteral("NEWLNAME"), QStringLiteral("Phoned")}});
    }

    ~AnsweredBatchRig() { m_peer->stop(); }

    phonepeer::PhonePeer &peer() { return *m_peer; }
    QString folder() const { return m_home.filePath(QStringLiteral("contacts")); }

    // Runs the driver, with the shell's text before it; answers whether it ended as expected.
    ::testing::AssertionResult run(const QString &prefix = {}, bool isKilled = false) const
    {
        const std::unique_ptr<QProcess> driver = startSyncDriver(m_home.path(), arguments(), prefix);
        if (!driver->waitForFinished(kRunLimitMs))
            return ::testing::AssertionFailure() << "the driver did not end";
        const bool wasKilled = driver->exitStatus() == QProcess::CrashExit ||
                               (driver->exitStatus() == QProcess::NormalExit && driver->exitCode() == 128 + 9);
        if (isKilled ? wasKilled : driver->exitStatus() == QProcess::NormalExit && driver->exitCode() == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "exit " << driver->exitCode() << ": " << driver->readAll().toStdString();
    }

    QStringList desktopNames() const
    {
        QStringList names = familyNamesInFolder(folder()).keys();
        names.sort();
        return names;
    }

    QStringList phoneNames() const
    {
        QStringList names;
        for (const phonepeer::PhoneRecord &record : m_peer->records(Conduit::Contacts))
            names.append(record.fields.value(QStringLiteral("NEWLNAME")));
        names.sort();
        return names;
    }

    std::optional<phonepeer::PhoneRecord> phoneRecordNamed(const QString &familyName) const
    {
        for (const phonepeer::PhoneRecord &record : m_peer->records(Conduit::Contacts)) {
            if (record.fields.value(QStringLiteral("NEWLNAME")) == familyName)
                return record;
        }
        return std::nullopt;
    }

    // Renames the person in its card as another program would: the family name replaced, REV now.
    void renameOnDesktop(const QString &from, const QString &to) const
    {
        waitForTheNextSecond();
        const QString path = familyNamesInFolder(folder()).value(from);
        ASSERT_FALSE(path.isEmpty()) << "no card of " << from.toStdString();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QByteArray uid;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("UID:"))
                uid = line.mid(4).trimmed();
        }
        file.close();
        writeCard(path, uid, to.toUtf8());
    }

    // Two clean syncs; then exactly these family names on each side.
    void expectAfterTwoSyncs(const QStringList &expected) const
    {
        for (int clean = 0; clean < 2; ++clean)
            ASSERT_TRUE(run());
        const auto listed = [](const QStringList &names) { return names.join(QStringLiteral(", ")).toStdString(); };
        EXPECT_EQ(listed(desktopNames()), listed(expected)) << "on the desktop";
        EXPECT_EQ(listed(phoneNames()), listed(expected)) << "on the phone";
    }

private:
    QStringList arguments() const
    {
        return {QStringLiteral("--create-profile"),
                QStringLiteral("--phone-id"),
                m_peer->deviceId(),
                QStringLiteral("--port"),
                QString::number(m_peer->port()),
                QStringLiteral("--logon-pause-ms"),
                QStringLiteral("0"),
                QStringLiteral("--contacts-folder"),
                folder(),
                QStringLiteral("--calendar-store"),
                QStringLiteral("memory"),
                QStringLiteral("--conflict"),
                m_conflictRule};
    }

    const QString m_conflictRule;
    QTemporaryDir m_home;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
};

class OwnWriteListedBack : public testing::TestWithParam<const char *>
{
};

} // namespace

INSTANTIATE_TEST_SUITE_P(ConflictRules, OwnWriteListedBack,
                         testing::Values("last_modified_wins", "apple_wins", "device_wins", "duplicate"));

TEST_P(OwnWriteListedBack, ADesktopEditAfterAKillBetweenTheAnswerAndItsSaveSurvives)
{
    const AnsweredBatchRig rig(QString::fromLatin1(GetParam()), true);
    ASSERT_TRUE(rig.run());
    ASSERT_EQ(rig.phoneNames(), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Phoned")}));

    rig.renameOnDesktop(QStringLiteral("Alpha"), QStringLiteral("Beta"));
    ASSERT_TRUE(rig.run(kKillAtFirstAnswer, true));
    ASSERT_EQ(rig.phoneNames(), (QStringList{QStringLiteral("Beta"), QStringLiteral("Phoned")}))
        << "the phone took the batch before the kill";

    rig.renameOnDesktop(QStringLiteral("Beta"), QStringLiteral("Gamma"));
    rig.expectAfterTwoSyncs({QStringLiteral("Gamma"), QStringLiteral("Phoned")});
}

// The phone renamed its copy of the desktop's unanswered new contact, and made one of its own.
TEST(UnansweredAdd, ThePhonesEditedCopyIsMatchedOnceTheListingIsRead)
{
    AnsweredBatchRig rig(QStringLiteral("last_modified_wins"), false);
    ASSERT_TRUE(rig.run());
    waitForTheNextSecond();
    writeCard(rig.folder() + QStringLiteral("/delta.vcf"), "delta", "Delta");
    ASSERT_TRUE(rig.run(kKillAtFirstAnswer, true));
    const std::optional<phonepeer::PhoneRecord> copy = rig.phoneRecordNamed(QStringLiteral("Delta"));
    ASSERT_TRUE(copy) << "the phone took the batch before the kill";

    QMap<QString, QString> renamed = copy->fields;
    renamed.insert(QStringLiteral("NEWLNAME"), QStringLiteral("Delta renamed"));
    renamed.remove(QStringLiteral("LASTMODIFIED"));
    ASSERT_TRUE(rig.peer().updatePhoneRecord(Conduit::Contacts, copy->uid, renamed));
    rig.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Pho")},
                                                  {QStringLiteral("NEWLNAME"), QStringLiteral("Newcomer")}});
    rig.expectAfterTwoSyncs({QStringLiteral("Alpha"), QStringLiteral("Delta renamed"), QStringLiteral("Newcomer"),
                             QStringLiteral("Phoned")});
}

// A new phone contact alike in all but its family name, listed before the phone's unchanged copy of
// the unanswered add: the copy is matched, and the new contact stays a contact of its own.
TEST(UnansweredAdd, ANewPhoneContactListedFirstIsNotTakenForIt)
{
    AnsweredBatchRig rig(QStringLiteral("last_modified_wins"), false);
    ASSERT_TRUE(rig.run());
    waitForTheNextSecond();
    writeCard(rig.folder() + QStringLiteral("/delta.vcf"), "delta", "Delta");
    ASSERT_TRUE(rig.run(kKillAtFirstAnswer, true));
    ASSERT_TRUE(rig.phoneRecordNamed(QStringLiteral("Delta"))) << "the phone took the batch before the kill";

    // The phone lists its records in the order of their ids: this one comes first.
    rig.peer().addPhoneRecord(
        Conduit::Contacts,
        {{QStringLiteral("NEWFNAME"), QStringLiteral("Desk")}, {QStringLiteral("NEWLNAME"), QStringLiteral("Zed")}},
        QStringLiteral("A0-zed"));
    rig.expectAfterTwoSyncs(
        {QStringLiteral("Alpha"), QStringLiteral("Delta"), QStringLiteral("Phoned"), QStringLiteral("Zed")});
}
