#include "CalendarSyncSupport.h"

#include "WiFiSyncTestSupport.h"

#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncTypes.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

void makeCalendarFolder(const QString &path, const QByteArray &title)
{
    ASSERT_TRUE(QDir().mkpath(path));
    QFile displayName(path + QStringLiteral("/displayname"));
    ASSERT_TRUE(displayName.open(QIODevice::WriteOnly));
    displayName.write(title);
}

QStringList itemFiles(const QString &folder)
{
    QStringList names = QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files);
    names.sort();
    return names;
}

} // namespace

CalendarSyncRun::CalendarSyncRun(const char *timeZone, const QString &eventCalendarToWriteTo,
                                 const char *platformVersion)
    : m_zone("TZ", timeZone), m_platformVersion("HM_PLATFORM_VERSION", platformVersion)
{
    preparePhoneLinkTests();
    makeCalendarFolder(calendarFolder(QStringLiteral("work")), "Work");
    makeCalendarFolder(calendarFolder(QStringLiteral("todo")), "Tasks");
    makeCalendarFolder(calendarFolder(QStringLiteral("holidays")), "Holidays");
    ::chmod(QFile::encodeName(calendarFolder(QStringLiteral("holidays"))).constData(), 0555);
    m_peer = startPhonePeer(0, m_phoneFolder.filePath(QStringLiteral("phone.json")));
    registerLoopbackTransport(m_peer->port(), 10.0);
    m_manager = std::make_shared<HMProfileManager>();
    m_profile = newLoopbackProfile(*m_manager, m_peer->deviceId());
    m_profile->setCalendarSyncEnabled(true);
    m_profile->setTaskSyncEnabled(true);
    m_profile->setEventCalendarIdentifierToWriteTo(eventCalendarToWriteTo);
    m_profile->setEventCalendarIdentifiersToSync({QStringLiteral("work"), QStringLiteral("holidays")});
    m_profile->setTaskCalendarIdentifierToWriteTo(QStringLiteral("todo"));
    m_profile->setTaskCalendarIdentifiersToSync({QStringLiteral("todo")});
    (void)hmsync::useCalendarStore(hmsync::CalendarStore::ICalendarFolders, *m_profile, root());
    EXPECT_TRUE(m_manager->saveProfile(*m_profile));
}

CalendarSyncRun::~CalendarSyncRun()
{
    m_peer->stop();
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"), {});
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMTaskData"), {});
    HMSyncController::registerTransport(1, {});
    HMTaskEventKitHelper::clearTasksArray();
    // A run into a calendar that cannot be written leaves the process-wide flag raised.
    GlobalVariables::setunwritableCalendar(false);
    GlobalVariables::setunwritableEKCalendar(false);
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(platform::EKEventStore::kCalendarsFolderKey);
    ::chmod(QFile::encodeName(calendarFolder(QStringLiteral("holidays"))).constData(), 0700);
}

hmsync::SyncOutcome CalendarSyncRun::sync()
{
    hmsync::prepareCalendarSync(hmsync::CalendarStore::ICalendarFolders, *m_profile);
    return hmsync::runManualSync(m_manager, m_profile, std::chrono::seconds(60));
}

QStringList CalendarSyncRun::calendarGraphChecksums() const
{
    const std::shared_ptr<HMIdentifierGraph> graph =
        HMProfileManager::identifierGraphForProfile(*m_profile, conduitShortIdentifierString(HMSyncConduit::Calendar));
    QStringList lines;
    for (const QVariantMap &dictionary : graph ? graph->identifierDictionaries() : QList<QVariantMap>())
        lines.append(dictionary.value(QStringLiteral("nativeId")).toString() + QLatin1Char(' ') +
                     dictionary.value(QStringLiteral("crcValue")).toString());
    lines.sort();
    return lines;
}

QString CalendarSyncRun::syncInNewProcess()
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH),
                 {QStringLiteral("--profile"), m_profile->filename(), QStringLiteral("--port"),
                  QString::number(m_peer->port()), QStringLiteral("--calendars-folder"), root(),
                  QStringLiteral("--logon-pause-ms"), QStringLiteral("0"), QStringLiteral("--store"),
                  m_phoneFolder.filePath(QStringLiteral("desktop-records.json"))});
    if (!driver.waitForFinished(120000)) {
        ADD_FAILURE() << "the driver did not finish";
        driver.kill();
        driver.waitForFinished();
    }
    const QString output = QString::fromUtf8(driver.readAll());
    EXPECT_EQ(driver.exitCode(), 0) << output.toStdString();
    return output;
}

std::optional<phonepeer::PhoneRecord> CalendarSyncRun::phoneRecord(phonepeer::Conduit conduit, const QString &key,
                                                                   const QString &value) const
{
    for (const phonepeer::PhoneRecord &record : m_peer->records(conduit)) {
        if (record.fields.value(key) == value)
            return record;
    }
    return std::nullopt;
}

QStringList CalendarSyncRun::itemTexts(const QString &identifier) const
{
    QStringList texts;
    const QString folder = calendarFolder(identifier);
    for (const QString &name : itemFiles(folder)) {
        QFile file(folder + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        texts.append(QString::fromUtf8(file.readAll().replace("\r\n ", "").replace("\r\n", "\n")));
    }
    return texts;
}

QString CalendarSyncRun::fileHolding(const QString &identifier, const QByteArray &text) const
{
    const QString folder = calendarFolder(identifier);
    for (const QString &name : itemFiles(folder)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly) && file.readAll().replace("\r\n ", "").contains(text))
            return name;
    }
    return QString();
}

QString CalendarSyncRun::khalConfig() const
{
    const QString config = m_root.filePath(QStringLiteral("khal.conf"));
    QFile file(config);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[calendars]\n[[work]]\npath = %1\n[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                              "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                              "longdatetimeformat = %Y-%m-%d %H:%M\nlocal_timezone = %2\ndefault_timezone = %2\n"
                              "[sqlite]\npath = %3\n")
                   .arg(calendarFolder(QStringLiteral("work")), QString::fromLatin1(qgetenv("TZ")),
                        m_root.filePath(QStringLiteral("khal.db")))
                   .toUtf8());
    return config;
}

QString CalendarSyncRun::khal(const QStringList &arguments) const
{
    return eventkittest::runTool(QStringLiteral("khal"), QStringList{QStringLiteral("-c"), khalConfig()} + arguments);
}

QString CalendarSyncRun::khalList(const QString &fromDay, const QString &days) const
{
    return khal({QStringLiteral("list"), QStringLiteral("--format"), QStringLiteral("{start} {end} {title}"),
                 QStringLiteral("--day-format"), QStringLiteral(""), fromDay, days});
}

QString CalendarSyncRun::todoman(const QStringList &arguments) const
{
    const QString config = m_root.filePath(QStringLiteral("todoman.py"));
    QFile file(config);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("path = \"%1\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\n"
                              "cache_path = \"%2\"\n")
                   .arg(calendarFolder(QStringLiteral("todo")), m_root.filePath(QStringLiteral("todoman.sqlite")))
                   .toUtf8());
    file.close();
    return eventkittest::runTool(QStringLiteral("todoman"), QStringList{QStringLiteral("--config"), config} + arguments);
}

QByteArray CalendarSyncRun::todomanList() const
{
    return todoman({QStringLiteral("--porcelain"), QStringLiteral("list"), QStringLiteral("--status"),
                    QStringLiteral("ANY")})
        .toUtf8();
}

QString describe(const hmsync::SyncOutcome &outcome)
{
    return hmsync::describeOutcome(outcome);
}

QStringList driverArguments(const phonepeer::PhonePeer &peer, const QString &root)
{
    return {QStringLiteral("--create-profile"),
            QStringLiteral("--phone-id"),
            peer.deviceId(),
            QStringLiteral("--port"),
            QString::number(peer.port()),
            QStringLiteral("--calendars-folder"),
            root,
            QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"),
            QStringLiteral("--timeout"),
            QStringLiteral("60")};
}
