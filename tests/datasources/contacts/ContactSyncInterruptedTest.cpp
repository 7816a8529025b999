// A sync killed (SIGKILL) while it writes the phone's contacts into the vCard folder, then run again
// to the end, leaves every contact exactly once on both sides and nothing else in the folder.
#include "ContactSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

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
