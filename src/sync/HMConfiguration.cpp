#include "sync/HMConfiguration.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "sync/HMProfileManager.h"

#include <QStringList>

#include <initializer_list>
#include <utility>

namespace {

constexpr quint64 kStandardEdition = 0;
constexpr quint64 kParcelvaneEdition = 1;

using Entry = std::pair<const char *, const char *>;

// Setting name to the localised text of its key.
QVariantMap localizedChoices(std::initializer_list<Entry> entries)
{
    QVariantMap choices;
    for (const auto &[name, textKey] : entries)
        choices.insert(QString::fromLatin1(name), platform::Bundle::localizedString(QString::fromLatin1(textKey)));
    return choices;
}

// The choices of the edition: the standard edition's list, the partner edition's own, none for another.
QVariantMap editionChoices(quint64 edition, std::initializer_list<Entry> standard,
                           std::initializer_list<Entry> parcelvane)
{
    if (edition == kStandardEdition)
        return localizedChoices(standard);
    if (edition == kParcelvaneEdition)
        return localizedChoices(parcelvane);
    return {};
}

QVariantMap places(std::initializer_list<const char *> names)
{
    QVariantMap order;
    qint64 place = 1;
    for (const char *name : names)
        order.insert(QString::fromLatin1(name), place++);
    return order;
}

HMChoiceSortDescriptor descriptorForPlaces(const QVariantMap &order)
{
    HMChoiceSortDescriptor descriptor;
    descriptor.key = QStringLiteral("key");
    descriptor.comparator = [order](const QString &left, const QString &right) {
        // A name missing from the table ranks 0.
        const qint64 leftPlace = order.value(left).toLongLong();
        const qint64 rightPlace = order.value(right).toLongLong();
        return leftPlace < rightPlace ? -1 : (leftPlace > rightPlace ? 1 : 0);
    };
    return descriptor;
}

QString describeChoices(const QVariantMap &choices)
{
    return QStringLiteral("{") + QStringList(choices.keys()).join(QStringLiteral(", ")) + QStringLiteral("}");
}

} // namespace

int HMChoiceSortDescriptor::compare(const QVariantMap &left, const QVariantMap &right) const
{
    const int order = comparator ? comparator(left.value(key).toString(), right.value(key).toString()) : 0;
    return ascending ? order : -order;
}

QVariantMap HMConfiguration::deviceTypeNameSortOrder() const
{
    if (!m_deviceTypeNameSortOrder) {
        m_deviceTypeNameSortOrder =
            places({"none", "android", "ios", "quillnest_devicetype", "parcelvane_devicetype", "google_devicetype"});
    }
    return *m_deviceTypeNameSortOrder;
}

QVariantMap HMConfiguration::syncMethodNameSortOrder() const
{
    if (!m_syncMethodNameSortOrder) {
        m_syncMethodNameSortOrder =
            places({"none", "adb", "wifi", "quill_nest_sync_method", "direct_sync_method", "parcelvane_sync_method"});
    }
    return *m_syncMethodNameSortOrder;
}

QVariantMap HMConfiguration::deviceDictionaryList() const
{
    return editionChoices(m_hmVersion,
                          {{"none", "device_none"},
                           {"android", "android"},
                           {"ios", "ios_device"},
                           {"google_devicetype", "Google"},
                           {"quillnest_devicetype", "quillnest_devicetype"}},
                          {{"parcelvane_devicetype", "parcelvane"}});
}

QVariantMap HMConfiguration::syncMethodDictionaryList() const
{
    return editionChoices(m_hmVersion,
                          {{"none", "none_sync"},
                           {"adb", "adb_sync"},
                           {"wifi", "wifi_sync"},
                           {"quill_nest_sync_method", "quillnest_sync"},
                           {"direct_sync_method", "Direct (recommended)"}},
                          {{"parcelvane_sync_method", "parcelvane"}});
}

QVariantMap HMConfiguration::contactManagerDictionaryList() const
{
    return localizedChoices({{"ContactManagerApple", "Apple"},
                             {"ContactManagerOutlook14", "Microsoft Outlook 2011"},
                             {"ContactManagerOutlook15", "Microsoft Outlook 2016"}});
}

QVariantMap HMConfiguration::deviceDictionaryListForSyncMethod(quint64 syncMethod) const
{
    QStringList allowed;
    switch (syncMethod) {
    case 1:
    case 2:
        allowed = {QStringLiteral("android")};
        break;
    case 3:
        allowed = {QStringLiteral("android"), QStringLiteral("ios")};
        break;
    case 4:
        allowed = {QStringLiteral("quillnest_devicetype")};
        break;
    case 6:
        allowed = {QStringLiteral("google_devicetype")};
        break;
    default:
        break;
    }
    const QVariantMap all = deviceDictionaryList();
    QVariantMap fitting;
    for (const QString &name : allowed) {
        if (all.contains(name))
            fitting.insert(name, all.value(name));
    }
    DDLogInfo(QStringLiteral("deviceDictionaryListForSyncMethod %1").arg(describeChoices(fitting)));
    return fitting;
}

HMChoiceSortDescriptor HMConfiguration::deviceDictionarySortDescriptor() const
{
    return descriptorForPlaces(deviceTypeNameSortOrder());
}

HMChoiceSortDescriptor HMConfiguration::syncMethodDictionarySortDescriptor() const
{
    return descriptorForPlaces(syncMethodNameSortOrder());
}

std::shared_ptr<HMProfile> HMConfiguration::defaultProfile(HMProfileManager &profileManager) const
{
    std::shared_ptr<HMProfile> profile = profileManager.newProfile();
    if (m_hmVersion == kStandardEdition) {
        profile->setDeviceTypeName(QStringLiteral("android"));
        profile->setSyncMethodName(QStringLiteral("wifi"));
    } else if (m_hmVersion == kParcelvaneEdition) {
        profile->setDeviceTypeName(QStringLiteral("parcelvane_devicetype"));
        profile->setSyncMethodName(QStringLiteral("parcelvane_sync_method"));
    }
    return profile;
}
