#include "OutlookStoreChoice.h"

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/contacts/HMContactData.h"
#include "datasources/tasks/HMMemoData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

namespace hmsync {

namespace {

// The main window's profile list as the Outlook helpers read it: one profile, selected.
class SingleProfileController final : public HMProfilesController
{
public:
    explicit SingleProfileController(std::shared_ptr<HMProfile> profile) : m_profile(std::move(profile)) {}
    std::vector<std::shared_ptr<HMProfile>> arrangedObjects() const override { return {m_profile}; }
    qsizetype selectionIndex() const override { return 0; }

private:
    std::shared_ptr<HMProfile> m_profile;
};

} // namespace

bool useOutlookContacts(const std::shared_ptr<HMProfile> &profile, const QString &version)
{
    const HMContactManager wanted = version == u"14" ? HMContactManager::Outlook14 : HMContactManager::Outlook15;
    const bool changes = profile->contactManager() != wanted;
    if (changes) {
        profile->setContactManager(wanted);
        profile->setContactManagerName(wanted == HMContactManager::Outlook14 ? QStringLiteral("ContactManagerOutlook14")
                                                                             : QStringLiteral("ContactManagerOutlook15"));
    }
    GlobalVariables::setIsContactManagerApple(false);
    GlobalVariables::setCurrentProfileController(std::make_shared<SingleProfileController>(profile));
    // Until the version is asked of Outlook, it follows the profile's contact manager.
    GlobalVariables::setOutlookVersionNumber(wanted == HMContactManager::Outlook14 ? QStringLiteral("14.7.7")
                                                                                   : QStringLiteral("16.78"));
    GlobalVariables::setOutlookVersionNumberInConfiguration(wanted == HMContactManager::Outlook14 ? QStringLiteral("14")
                                                                                                  : QStringLiteral("15"));
    const QString path = profile->outlookApplicationPathSetting();
    GlobalVariables::setOutlookApplicationReference(profile->useCustomOutlookApplicationPath() && !path.isEmpty()
                                                        ? path
                                                        : QStringLiteral("Microsoft Outlook"));
    // The Outlook helpers read the sync method from the user default the main window writes before
    // every sync (the category colours' byte order, the map names).
    static const char *const words[] = {"", "wifi", "adb", "hmsh", "quillnest", "", "direct"};
    const quint64 method = quint64(profile->syncMethod());
    platform::UserDefaults::standardUserDefaults().setObject(
        QString::fromLatin1(method < std::size(words) ? words[method] : ""), QStringLiteral("SyncMethodSetting"));
    HMContactData::registerDataSourceClass();
    HMMemoData::registerDataSourceClass();
    return changes;
}

void useOutlookEvents()
{
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"),
                                                       [] { return std::make_shared<HMCalendarData>(); });
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMTaskData"),
                                                       [] { return std::make_shared<HMTaskData>(); });
}

qsizetype outlookContactCount(const std::shared_ptr<HMProfile> &profile)
{
    HMOutlookSQLiteHelper helper;
    helper.setProfile(profile);
    const std::optional<QStringList> ids = helper.getListOfAllOutlookContactIds();
    return ids ? ids->size() : -1;
}

} // namespace hmsync
