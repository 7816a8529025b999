// A sync killed (SIGKILL) while it writes the phone's contacts into the vCard folder, then run again
// to the end, leaves every contact exactly once on both sides and nothing else in the folder.
#include "ContactSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "platform/foundation/FileIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/time.h>

using phonepeer::Conduit;

namespace {

constexpr int kContactCount = 600;

QStringList driverArguments(const phonepeer::PhonePeer &peer, const QString &folder)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), peer.deviceId(), QStringLiteral("--port"),
            QString::number(peer.port()), QStringLiteral("--contacts-folder"), folder, QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"), QStringLiteral("--timeout"), QStringLiteral("60")};
}

qsizetype cardCount(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("*.vcf")}, QDir::Files).size();
}

// How many card files hold each person's family name.
QHash<QString, int> familyNames(const QString &folder)
{
    QHash<QString, int> counts;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.vcf")}, QDir::Files)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : unfolded(file.readAll()).split('\n')) {
            if (line.startsWith("N:"))
                ++counts[QString::fromUtf8(line.mid(2).split(';').value(0))];
        }
    }
    return counts;
}

} // namespace

TEST(ContactSyncInterrupted, AKilledRunLeavesEveryContactOnceAfterTheNextRun)
{
    for (const int killAtFiles : {1, kContactCount / 2, kContactCount - 20}) {
        SCOPED_TRACE(killAtFiles);
        QTemporaryDir home;
        const QString folder = home.filePath(QStringLiteral("book"));
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        phonepeer::PhonePeer peer(options);
        QString problem;
        ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
        for (int index = 0; index < kContactCount; ++index)
            peer.addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Given")},
                                                    {QStringLiteral("NEWLNAME"), QStringLiteral("Family%1").arg(index)},
                                                    {QStringLiteral("CELLPHONE"), QStringLiteral("+1 555 %1").arg(index)}});
        killDriverAndResume(home.path(), driverArguments(peer, folder),
                            [&] { return cardCount(folder) >= killAtFiles; });
        if (HasFatalFailure())
            return;
        const QHash<QString, int> counts = familyNames(folder);
        ASSERT_EQ(counts.size(), kContactCount);
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        EXPECT_EQ(peer.records(Conduit::Contacts).size(), kContactCount);
        // New cards are linked into the folder only once whole: the kill leaves no temporary file.
        const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        EXPECT_EQ(files.size(), kContactCount) << files.join(QLatin1Char(' ')).toStdString();
        peer.stop();
    }
}

namespace {

constexpr int kForeignCount = 300;

// A card as another program writes it: vCard 4.0, LF line ends, a grouped phone with its label and a
// line of the program's own.
QByteArray foreignCard(int index)
{
    return QStringLiteral("BEGIN:VCARD\nVERSION:4.0\nUID:foreign-%1\nFN:Person %1\nN:Foreign%1;Person;;;\n"
                          "item1.TEL;VALUE=uri;TYPE=cell:tel:+1-555-%1\nitem1.X-ABLabel:Mobile line\n"
                          "X-CUSTOM;PARAM=x:keep %1\nNOTE:as written\nEND:VCARD\n")
        .arg(index)
        .toUtf8();
}

// Sets the file's times back by the age.
void ageFile(const QString &path, std::chrono::seconds age)
{
    const qint64 then = QDateTime::currentSecsSinceEpoch() - age.count();
    const struct timeval times[2] = {{time_t(then), 0}, {time_t(then), 0}};
    ASSERT_EQ(::utimes(QFile::encodeName(path).constData(), times), 0) << path.toStdString();
}

qsizetype filesHolding(const QString &folder, const QByteArray &text)
{
    qsizetype count = 0;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.vcf")}, QDir::Files)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
            ++count;
    }
    return count;
}

} // namespace

TEST(ContactSyncInterrupted, AKilledRunPatchingOtherProgramsCardsLeavesEachOnceWithTheEditAlone)
{
    for (const int killAtFiles : {1, kForeignCount / 2}) {
        SCOPED_TRACE(killAtFiles);
        QTemporaryDir home;
        const QString folder = home.filePath(QStringLiteral("book"));
        ASSERT_TRUE(QDir().mkpath(folder));
        for (int index = 0; index < kForeignCount; ++index) {
            QFile file(folder + QStringLiteral("/foreign-%1.vcf").arg(index));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(foreignCard(index));
        }
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        phonepeer::PhonePeer peer(options);
        QString problem;
        ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
        killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
        ASSERT_EQ(peer.records(Conduit::Contacts).size(), kForeignCount);
        for (const phonepeer::PhoneRecord &record : peer.records(Conduit::Contacts)) {
            QMap<QString, QString> fields = record.fields;
            fields.insert(QStringLiteral("NOTE"), QStringLiteral("edited on the phone"));
            ASSERT_TRUE(peer.updatePhoneRecord(Conduit::Contacts, record.uid, fields));
        }
        killDriverAndResume(home.path(), driverArguments(peer, folder),
                            [&] { return filesHolding(folder, "NOTE:edited on the phone") >= killAtFiles; });
        if (HasFatalFailure())
            return;
        // A replacement the kill cut short may leave its temporary file; a later run clears it once
        // it is old enough to be no running writer's.
        for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (platform::isTemporaryFileName(name))
                ageFile(folder + QLatin1Char('/') + name, std::chrono::minutes(11));
        }
        killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
        const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        EXPECT_EQ(files.size(), kForeignCount) << files.join(QLatin1Char(' ')).toStdString();
        const QHash<QString, int> counts = familyNames(folder);
        ASSERT_EQ(counts.size(), kForeignCount);
        for (int index = 0; index < kForeignCount; ++index) {
            QFile file(folder + QStringLiteral("/foreign-%1.vcf").arg(index));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            QByteArray expected = foreignCard(index).replace("NOTE:as written", "NOTE:edited on the phone");
            const QByteArray card = file.readAll();
            const qsizetype rev = card.indexOf("REV:");
            ASSERT_GE(rev, 0) << card.constData();
            expected.insert(expected.indexOf("END:VCARD"), card.mid(rev, card.indexOf('\n', rev) + 1 - rev));
            EXPECT_EQ(card, expected);
        }
        EXPECT_EQ(peer.records(Conduit::Contacts).size(), kForeignCount);
        for (const phonepeer::PhoneRecord &record : peer.records(Conduit::Contacts))
            EXPECT_EQ(record.fields.value(QStringLiteral("NOTE")), QStringLiteral("edited on the phone"));
        peer.stop();
    }
}

// Contacts the phone deleted, the run killed right after it saved the identifier graph that forgets
// them: their cards are gone by then too, so no later run finds a card without an entry and sends it
// back to the phone as new.
TEST(ContactSyncInterrupted, APhoneDeletionKilledOnceTheGraphForgetsItStaysDeleted)
{
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("book"));
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    phonepeer::PhonePeer peer(options);
    QString problem;
    ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
    QStringList uids;
    for (int index = 0; index < 12; ++index)
        uids.append(peer.addPhoneRecord(Conduit::Contacts,
                                        {{QStringLiteral("NEWFNAME"), QStringLiteral("Given")},
                                         {QStringLiteral("NEWLNAME"), QStringLiteral("Family%1").arg(index)}}));
    killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
    ASSERT_EQ(cardCount(folder), 12);
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(peer.deletePhoneRecord(Conduit::Contacts, uids.at(index)));
    // The first graph write of the run is the contacts' deletions by the phone's id list.
    const std::unique_ptr<QProcess> killed =
        startSyncDriver(home.path(), driverArguments(peer, folder), QStringLiteral("HM_SYNC_KILL_AT=journal-append:1"));
    ASSERT_TRUE(killed->waitForFinished(60000));
    ASSERT_EQ(killed->exitStatus(), QProcess::CrashExit) << killed->readAll().toStdString();
    EXPECT_EQ(cardCount(folder), 9) << "the cards go before the graph forgets them";
    killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
    const QHash<QString, int> counts = familyNames(folder);
    EXPECT_EQ(counts.size(), 9);
    for (int index = 0; index < 12; ++index)
        EXPECT_EQ(counts.value(QStringLiteral("Family%1").arg(index)), index < 3 ? 0 : 1) << index;
    EXPECT_EQ(peer.records(Conduit::Contacts).size(), 9);
    peer.stop();
}

namespace {

// A card as another program writes it, stamped now.
void writeCard(const QString &folder, const QString &uid, const QString &family)
{
    QFile file(folder + QLatin1Char('/') + uid + QStringLiteral(".vcf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%1\r\nFN:Desk %2\r\nN:%2;Desk;;;\r\nREV:%3\r\n"
                              "END:VCARD\r\n")
                   .arg(uid, family, QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")))
                   .toUtf8());
}

} // namespace

// A run whose contacts batch the phone took but whose answer was lost (the connection dropped), then
// a desktop edit and a deletion of cards the desktop wrote to the phone, which keeps no time of its own
// for them: after the next run the edit and the deletion are on both sides, and the add is there once.
TEST(ContactSyncInterrupted, DesktopChangesSurviveTheWholeListingAfterALostAnswer)
{
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("book"));
    ASSERT_TRUE(QDir().mkpath(folder));
    for (int index = 1; index <= 4; ++index)
        writeCard(folder, QStringLiteral("desk-%1").arg(index), QStringLiteral("Family%1").arg(index));
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    phonepeer::PhonePeer peer(options);
    QString problem;
    ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
    killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
    ASSERT_EQ(peer.records(Conduit::Contacts).size(), 4);

    // Edits are told by times kept to the second: the next ones come a second after that sync.
    QThread::sleep(1);
    writeCard(folder, QStringLiteral("desk-5"), QStringLiteral("Family5"));
    peer.addFault({phonepeer::FaultKind::Drop, QStringLiteral("/hmx_update"), 1});
    const std::unique_ptr<QProcess> cut = startSyncDriver(home.path(), driverArguments(peer, folder));
    ASSERT_TRUE(cut->waitForFinished(60000));
    ASSERT_NE(cut->exitCode(), 0) << "the lost answer fails the run";
    peer.clearFaults();
    writeCard(folder, QStringLiteral("desk-1"), QStringLiteral("Renamed1"));
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/desk-2.vcf")));

    killDriverAndResume(home.path(), driverArguments(peer, folder), [] { return false; });
    const QHash<QString, int> expected{{"Renamed1", 1}, {"Family3", 1}, {"Family4", 1}, {"Family5", 1}};
    EXPECT_EQ(familyNames(folder), expected);
    QHash<QString, int> onPhone;
    for (const phonepeer::PhoneRecord &record : peer.records(Conduit::Contacts))
        ++onPhone[record.fields.value(QStringLiteral("NEWLNAME"))];
    EXPECT_EQ(onPhone, expected);
    peer.stop();
}
