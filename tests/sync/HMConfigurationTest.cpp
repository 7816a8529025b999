#include "sync/HMConfiguration.h"

#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfileManager.h"

#include "ProfileTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The choice list as a controller arranges it: one entry per name, sorted by the descriptor.
QStringList sortedNames(const QVariantMap &choices, const HMChoiceSortDescriptor &descriptor)
{
    QList<QVariantMap> entries;
    for (auto choice = choices.constBegin(); choice != choices.constEnd(); ++choice)
        entries.append({{QStringLiteral("key"), choice.key()}, {QStringLiteral("value"), choice.value()}});
    std::stable_sort(entries.begin(), entries.end(), [&descriptor](const QVariantMap &left, const QVariantMap &right) {
        return descriptor.compare(left, right) < 0;
    });
    QStringList names;
    for (const QVariantMap &entry : entries)
        names.append(entry.value(QStringLiteral("key")).toString());
    return names;
}

} // namespace

TEST(HMConfiguration, SortsTheStandardChoiceLists)
{
    const HMConfiguration configuration;
    EXPECT_EQ(sortedNames(configuration.deviceDictionaryList(), configuration.deviceDictionarySortDescriptor()),
              QStringList({QStringLiteral("none"), QStringLiteral("android"), QStringLiteral("ios"),
                           QStringLiteral("quillnest_devicetype"), QStringLiteral("google_devicetype")}));
    EXPECT_EQ(sortedNames(configuration.syncMethodDictionaryList(), configuration.syncMethodDictionarySortDescriptor()),
              QStringList({QStringLiteral("none"), QStringLiteral("adb"), QStringLiteral("wifi"),
                           QStringLiteral("quill_nest_sync_method"), QStringLiteral("direct_sync_method")}));
    EXPECT_FALSE(configuration.syncMethodDictionaryList().contains(QStringLiteral("hmsh_sync_method")));
    EXPECT_EQ(configuration.contactManagerDictionaryList().size(), 3);
    // A name missing from the order ranks first.
    const HMChoiceSortDescriptor descriptor = configuration.syncMethodDictionarySortDescriptor();
    EXPECT_LT(descriptor.compare({{QStringLiteral("key"), QStringLiteral("hmsh_sync_method")}},
                                 {{QStringLiteral("key"), QStringLiteral("none")}}),
              0);
    EXPECT_EQ(configuration.deviceTypeNameSortOrder().value(QStringLiteral("parcelvane_devicetype")).toLongLong(), 5);
}

TEST(HMConfiguration, EditionsOfferTheirOwnListsAndDefaults)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);

    auto standard = std::make_shared<HMConfiguration>();
    manager.setConfiguration(standard);
    const std::shared_ptr<HMProfile> phone = standard->defaultProfile(manager);
    EXPECT_EQ(phone->deviceTypeName(), QStringLiteral("android"));
    EXPECT_EQ(phone->deviceType(), HMDeviceType::Android);
    EXPECT_EQ(phone->syncMethodName(), QStringLiteral("wifi"));
    EXPECT_EQ(phone->syncMethod(), HMSyncMethod::WiFi);
    EXPECT_EQ(phone->syncMethodsSupportedFiltered().keys(),
              QStringList({QStringLiteral("adb"), QStringLiteral("none"), QStringLiteral("quill_nest_sync_method"),
                           QStringLiteral("wifi")}));
    EXPECT_TRUE(phone->contactManagerName().isNull());

    auto parcelvane = std::make_shared<HMConfiguration>();
    parcelvane->setHmVersion(1);
    manager.setConfiguration(parcelvane);
    EXPECT_EQ(parcelvane->deviceDictionaryList().keys(), QStringList({QStringLiteral("parcelvane_devicetype")}));
    const std::shared_ptr<HMProfile> edition = parcelvane->defaultProfile(manager);
    EXPECT_EQ(edition->deviceTypeName(), QStringLiteral("parcelvane_devicetype"));
    EXPECT_EQ(edition->syncMethod(), HMSyncMethod::Parcelvane);

    auto unknown = std::make_shared<HMConfiguration>();
    unknown->setHmVersion(7);
    manager.setConfiguration(unknown);
    EXPECT_TRUE(unknown->deviceDictionaryList().isEmpty());
    EXPECT_TRUE(unknown->syncMethodDictionaryList().isEmpty());
    const std::shared_ptr<HMProfile> plain = unknown->defaultProfile(manager);
    EXPECT_EQ(plain->deviceTypeName(), QStringLiteral("android"));
    EXPECT_EQ(plain->syncMethodName(), QStringLiteral("none"));

    EXPECT_EQ(standard->deviceDictionaryListForSyncMethod(3).keys(),
              QStringList({QStringLiteral("android"), QStringLiteral("ios")}));
    EXPECT_EQ(standard->deviceDictionaryListForSyncMethod(6).keys(),
              QStringList({QStringLiteral("google_devicetype")}));
    EXPECT_TRUE(standard->deviceDictionaryListForSyncMethod(5).isEmpty());
}
