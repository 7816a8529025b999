#include "ContactSyncSupport.h"

#include "WiFiSyncTestSupport.h"

#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/addressbook/ABVCardMapping.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>

ContactSyncRun::ContactSyncRun(HMSyncDeletions deletions)
{
    preparePhoneLinkTests();
    GlobalVariables::setIsContactManagerApple(true);
    HMContactData::registerDataSourceClass();
    m_peer = startPhonePeer(0, m_phoneFolder.filePath(QStringLiteral("phone.json")));
    registerLoopbackTransport(m_peer->port(), 5.0);
    m_manager = std::make_shared<HMProfileManager>();
    m_profile = newLoopbackProfile(*m_manager, m_peer->deviceId());
    m_profile->setContactSyncEnabled(true);
    static const char *const names[] = {"two_way", "mac_to_device", "device_to_mac"};
    m_profile->setContactSyncDeletionsName(QLatin1String(names[quint64(deletions)]));
    EXPECT_TRUE(m_manager->saveProfile(*m_profile));
}

ContactSyncRun::~ContactSyncRun()
{
    m_peer->stop();
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMContactData"), {});
    HMSyncController::registerTransport(1, {});
    GlobalVariables::setIsContactManagerApple(false);
}

hmsync::SyncOutcome ContactSyncRun::sync()
{
    return hmsync::runManualSync(m_manager, m_profile, std::chrono::seconds(60));
}

QMap<QString, FileStamp> ContactSyncRun::stamps() const
{
    QMap<QString, FileStamp> result;
    for (const QString &name : QDir(m_folder.path()).entryList(QDir::Files)) {
        struct stat status = {};
        if (::stat(QFile::encodeName(m_folder.filePath(name)).constData(), &status) == 0)
            result.insert(name, FileStamp{qint64(status.st_size),
                                          qint64(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec,
                                          quint64(status.st_ino)});
    }
    return result;
}

std::optional<phonepeer::PhoneRecord> ContactSyncRun::phoneContact(const QString &key, const QString &value) const
{
    for (const phonepeer::PhoneRecord &record : m_peer->records(phonepeer::Conduit::Contacts)) {
        if (record.fields.value(key) == value)
            return record;
    }
    return std::nullopt;
}

QString ContactSyncRun::fileHolding(const QByteArray &text) const
{
    for (const QString &name : m_folder.cardFiles()) {
        if (unfolded(m_folder.readFile(name)).contains(text))
            return name;
    }
    return QString();
}

void ContactSyncRun::rewriteAsAnotherProgram(const QString &fileName, const QByteArray &from, const QByteArray &to) const
{
    QByteArray bytes = m_folder.readFile(fileName);
    ASSERT_TRUE(bytes.contains(from)) << fileName.toStdString();
    bytes.replace(from, to);
    const qsizetype rev = bytes.indexOf("REV:");
    ASSERT_GE(rev, 0);
    const qsizetype end = bytes.indexOf("\r\n", rev);
    const QByteArray revision =
        platform::ABVCardMapping::revisionText(QDateTime::currentDateTimeUtc().addSecs(5)).toUtf8();
    bytes.replace(rev, end - rev, "REV:" + revision);
    m_folder.writeFile(QStringLiteral(".edit.tmp"), bytes);
    ASSERT_TRUE(QFile::remove(m_folder.filePath(fileName)));
    ASSERT_TRUE(QFile::rename(m_folder.filePath(QStringLiteral(".edit.tmp")), m_folder.filePath(fileName)));
}

QByteArray unfolded(QByteArray card)
{
    return card.replace("\r\n ", "");
}

QString describe(const hmsync::SyncOutcome &outcome)
{
    return hmsync::describeOutcome(outcome);
}

QString runProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " failed: " << process.readAllStandardError().toStdString()
                      << process.readAllStandardOutput().toStdString();
        return QString();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString pythonProgram()
{
    return QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                  : QStringLiteral("python3");
}

QString khardConfig(const QString &folder)
{
    const QString path = folder + QStringLiteral(".khard.conf");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[addressbooks]\n[[book]]\npath = " + folder.toUtf8() +
               "\n[general]\ndefault_action = list\n[contact table]\ndisplay = first_name\n");
    return path;
}

QString khardConfig(ContactSyncRun &run)
{
    return khardConfig(run.folder().path());
}

QSet<QString> khardRows(const QString &folder, const QString &command)
{
    const QString output = runProgram(QStringLiteral("khard"),
                                      {QStringLiteral("-c"), khardConfig(folder), QStringLiteral("--skip-unparsable"),
                                       command, QStringLiteral("--parsable")});
    QSet<QString> rows;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.contains(QLatin1Char('\t')))
            rows.insert(line.section(QLatin1Char('\t'), 0, 1));
    }
    return rows;
}

QSet<QString> khardRows(ContactSyncRun &run, const QString &command)
{
    return khardRows(run.folder().path(), command);
}
