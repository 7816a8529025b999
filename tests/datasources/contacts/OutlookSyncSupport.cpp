#include "OutlookSyncSupport.h"

#include "OutlookStoreChoice.h"
#include "WiFiSyncTestSupport.h"

#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QThread>

OutlookSyncRun::OutlookSyncRun(const QString &direction, const QString &outlookVersion)
{
    preparePhoneLinkTests();
    OutlookPeerProcess::Options options;
    options.folder = m_root.path();
    options.arguments = {QStringLiteral("--outlook-version"), outlookVersion};
    m_outlook = std::make_unique<OutlookPeerProcess>(options);
    EXPECT_TRUE(m_outlook->isReady());
    m_outlook->seed(outlookSeed());
    // Outlook's record files lie under the home folder, where the deletion count looks for them.
    m_oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_outlook->home()));
    m_phone = std::make_unique<PhonePeerProcess>(m_phoneFolder.filePath(QStringLiteral("phone.json")));
    EXPECT_TRUE(m_phone->isReady());
    registerLoopbackTransport(m_phone->port(), 5.0);
    m_manager = std::make_shared<HMProfileManager>();
    m_profile = newLoopbackProfile(*m_manager, m_phone->deviceId());
    m_profile->setContactSyncEnabled(true);
    m_profile->setContactSyncDirectionName(direction);
    m_profile->setContactSyncDeletionsName(QStringLiteral("two_way"));
    hmsync::useOutlookContacts(m_profile, outlookVersion);
    // The maps live in the data folder, which the tests of this process share: each run starts with
    // none (the version names the map).
    const QString map = HMOutlookDatFileHelper().contactFilePath();
    QFile::remove(map);
    QFile::remove(map + QStringLiteral(".confirmed"));
    saveProfile();
}

OutlookSyncRun::~OutlookSyncRun()
{
    m_phone->stop();
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMContactData"), {});
    HMSyncController::registerTransport(1, {});
    GlobalVariables::setCurrentProfileController(nullptr);
    GlobalVariables::setIsOutlookSync(false);
    GlobalVariables::setContactIdsWithPhotos({});
    qputenv("HOME", m_oldHome);
}

QJsonArray OutlookSyncRun::outlookContacts() const
{
    return m_outlook->dump().value(QStringLiteral("contacts")).toArray();
}

void OutlookSyncRun::saveProfile()
{
    EXPECT_TRUE(m_manager->saveProfile(*m_profile));
}

hmsync::SyncOutcome OutlookSyncRun::sync()
{
    // Outlook's dates are whole seconds, and the map's date is a second before the read began: what
    // changed in Outlook is a second old before the sync that must find it alone.
    QThread::msleep(1100);
    return hmsync::runManualSync(m_manager, m_profile, std::chrono::seconds(60));
}

qint64 OutlookSyncRun::addContact(const QJsonObject &fields) const
{
    QJsonObject record = fields;
    if (!record.contains(QStringLiteral("folder")))
        record[QStringLiteral("folder")] = 1;
    const QJsonObject answer = m_outlook->control(
        {{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QStringLiteral("contact")}, {QStringLiteral("record"), record}});
    return answer.value(QStringLiteral("id")).toInteger();
}

void OutlookSyncRun::editContact(qint64 id, const QJsonObject &fields) const
{
    m_outlook->control({{QStringLiteral("op"), QStringLiteral("edit")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                        {QStringLiteral("id"), id}, {QStringLiteral("fields"), fields}});
}

void OutlookSyncRun::deleteContact(qint64 id) const
{
    m_outlook->control({{QStringLiteral("op"), QStringLiteral("delete")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                        {QStringLiteral("id"), id}});
}

void OutlookSyncRun::switches(const QJsonObject &switches) const
{
    QJsonObject command = switches;
    command[QStringLiteral("op")] = QStringLiteral("switches");
    m_outlook->control(command);
}

std::optional<phonepeer::PhoneRecord> OutlookSyncRun::phoneContact(const QString &key, const QString &value) const
{
    for (const phonepeer::PhoneRecord &record : m_phone->records(phonepeer::Conduit::Contacts)) {
        if (record.fields.value(key) == value)
            return record;
    }
    return std::nullopt;
}

qsizetype OutlookSyncRun::updateRequests() const
{
    qsizetype count = 0;
    for (const QString &path : m_phone->requestLog())
        count += path.contains(QLatin1String("pdate")) ? 1 : 0;
    return count;
}

QJsonObject outlookSeed()
{
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("name"), QLatin1String(name)}};
    };
    auto category = [](int id, const char *name, QJsonArray color) {
        return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("name"), QLatin1String(name)}, {QStringLiteral("color"), color}};
    };
    return QJsonObject{
        {QStringLiteral("folders"), QJsonArray{folder(1, "address book", "Address Book"), folder(42, "address book", "Work"),
                                                folder(2, "calendar", "Calendar"), folder(3, "task folder", "Tasks"),
                                                folder(4, "note folder", "Notes")}},
        {QStringLiteral("categories"), QJsonArray{category(5, "Work", {65535, 0, 0}), category(6, "Friends", {0, 65535, 0})}},
        {QStringLiteral("contacts"), QJsonArray()}};
}

QJsonObject fullContact()
{
    auto phone = [](const char *kind, const char *number) {
        return QJsonObject{{QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("number"), QLatin1String(number)}};
    };
    auto mail = [](const char *kind, const char *address) {
        return QJsonObject{{QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("address"), QLatin1String(address)}};
    };
    auto address = [](const QString &street, const QString &city, const char *state, const char *zip, const char *country) {
        return QJsonObject{{QStringLiteral("street"), street}, {QStringLiteral("city"), city}, {QStringLiteral("state"), QLatin1String(state)},
                           {QStringLiteral("zip"), QLatin1String(zip)}, {QStringLiteral("country"), QLatin1String(country)}};
    };
    return QJsonObject{
        {QStringLiteral("firstName"), QStringLiteral("Zoë")}, {QStringLiteral("lastName"), QStringLiteral("Ångström")},
        {QStringLiteral("middleName"), QStringLiteral("Élise")}, {QStringLiteral("prefix"), QStringLiteral("Dr.")},
        {QStringLiteral("suffix"), QStringLiteral("PhD")}, {QStringLiteral("jobTitle"), QStringLiteral("Chief, Research")},
        {QStringLiteral("company"), QStringLiteral("Acme, Inc.")}, {QStringLiteral("department"), QStringLiteral("Labs")},
        {QStringLiteral("phones"), QJsonArray{phone("work", "+46 8 100"), phone("home", "+46 8 200"), phone("cell", "+46 70 300"),
                                               phone("main", "+46 8 400"), phone("workFax", "+46 8 101"), phone("homeFax", "+46 8 201"),
                                               phone("pager", "+46 74 500"), phone("assistant", "+46 8 102"), phone("other", "+46 8 600")}},
        {QStringLiteral("emails"), QJsonArray{mail("work", "zoe@work.example"), mail("home", "zoe@home.example"),
                                               mail("other", "zoe@other.example")}},
        {QStringLiteral("workAddress"), address(QStringLiteral("Storgatan 1\nPlan 3"), QStringLiteral("Uppsala"), "Uppland", "752 20", "Sweden")},
        {QStringLiteral("homeAddress"), address(QStringLiteral("Hemvägen 2"), QStringLiteral("Göteborg"), "", "411 01", "Sweden")},
        {QStringLiteral("spouse"), QStringLiteral("Erik")}, {QStringLiteral("children"), QJsonArray{QStringLiteral("Ola"), QStringLiteral("Kari")}},
        {QStringLiteral("birthday"), QStringLiteral("1985-03-17")}, {QStringLiteral("anniversary"), QStringLiteral("2010-06-12")},
        {QStringLiteral("note"), QStringLiteral("Line one\nLine two & three, a literal \\n too")},
        {QStringLiteral("categories"), QJsonArray{5, 6}},
    };
}
