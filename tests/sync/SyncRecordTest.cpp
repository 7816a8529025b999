#include "sync/HMSyncFields.h"
#include "sync/HMSyncRecord.h"
#include "sync/HMSyncTypes.h"

#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSMutableDictionary+HMExtras.h"

#include <QDateTime>

#include <gtest/gtest.h>

TEST(SyncRecord, StartsEmptyAndKeepsWhatItIsGiven)
{
    HMSyncRecord record;
    EXPECT_FALSE(record.isNew());
    EXPECT_FALSE(record.isDelete());
    EXPECT_TRUE(record.hmxUid().isEmpty());
    EXPECT_TRUE(record.outlookUid().isEmpty());
    EXPECT_TRUE(record.nativeId().isEmpty());
    EXPECT_TRUE(record.theParentId().isEmpty());
    EXPECT_FALSE(record.lastModifiedDate().isValid());
    EXPECT_TRUE(record.dictionary().isEmpty());

    record.setIsNew(true);
    record.setHmxUid(QStringLiteral("temp-1"));
    record.setDictionary({{QString(kHMSyncFieldNote), QStringLiteral("body")}});
    // A transport converts the record in place before sending it.
    setHMValueAsString(record.dictionary(), QStringLiteral("20240115"), kHMSyncFieldStartDate);
    EXPECT_EQ(stringForKey(record.dictionary(), kHMSyncFieldStartDate), QStringLiteral("20240115"));
    EXPECT_EQ(stringForKey(record.dictionary(), kHMSyncFieldNote), QStringLiteral("body"));
    EXPECT_TRUE(record.isNew());
    EXPECT_EQ(record.hmxUid(), QStringLiteral("temp-1"));
}

TEST(SyncRecord, KeysHoldTheValueTypesTheirNamesPromise)
{
    struct Row
    {
        QLatin1StringView key;
        HMSyncConduit conduit;
        HMSyncFieldType type;
    };
    const Row rows[] = {
        {kHMSyncFieldNSDateStartDate, HMSyncConduit::Calendar, HMSyncFieldType::Date},
        {kHMSyncFieldRecurringNSDateRepeatEnd, HMSyncConduit::Calendar, HMSyncFieldType::Date},
        {kHMSyncFieldDueDate, HMSyncConduit::Tasks, HMSyncFieldType::Date},
        {kHMSyncFieldNSNumberAlarmTime, HMSyncConduit::Calendar, HMSyncFieldType::Number},
        {kHMSyncFieldAction, HMSyncConduit::Contacts, HMSyncFieldType::Number},
        {kHMSyncFieldPriority, HMSyncConduit::Tasks, HMSyncFieldType::Number},
        {kHMSyncFieldTypeNumber, HMSyncConduit::Calendar, HMSyncFieldType::BooleanNumber},
        {kHMSyncFieldCompleted, HMSyncConduit::Tasks, HMSyncFieldType::BooleanNumber},
        {kHMSyncFieldCompleted, HMSyncConduit::Calendar, HMSyncFieldType::Text},
        {kHMSyncFieldHasDueDate, HMSyncConduit::Tasks, HMSyncFieldType::BooleanNumber},
        {kHMSyncFieldPercentComplete, HMSyncConduit::Tasks, HMSyncFieldType::TextOrNumber},
        {kHMSyncFieldNSArrayCategories, HMSyncConduit::Memos, HMSyncFieldType::TextList},
        {kHMSyncFieldEKRecurrenceRule, HMSyncConduit::Calendar, HMSyncFieldType::Object},
        {kHMSyncFieldRecurringInterval, HMSyncConduit::Calendar, HMSyncFieldType::Text},
        {kHMSyncFieldDeleted, HMSyncConduit::Contacts, HMSyncFieldType::Text},
        {kHMSyncFieldPhoneLabel14, HMSyncConduit::Contacts, HMSyncFieldType::Text},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(qPrintable(QString(row.key)));
        EXPECT_EQ(syncFieldType(row.key, row.conduit), row.type);
    }
    EXPECT_EQ(QString(kHMSyncFieldNote), QStringLiteral("NOTE"));
    EXPECT_EQ(QString(kHMSyncFieldRecurringOccurs), QStringLiteral("OCCURS"));
    EXPECT_EQ(QString(kHMSyncFieldTimeZoneData), QStringLiteral("TZ_DATA"));
}

// "ACTION" decides only when it is a number; the text "3" leaves the decision to "DELETED".
TEST(SyncRecord, ActionTextDoesNotCountAsADeletion)
{
    const QVariantMap listed{{QString(kHMSyncFieldAction), QStringLiteral("3")},
                             {QString(kHMSyncFieldDeleted), QStringLiteral("0")}};
    EXPECT_NE(listed.value(kHMSyncFieldAction).typeId(), QMetaType::LongLong);
    EXPECT_TRUE(stringForKey(listed, kHMSyncFieldUid).isEmpty());
    EXPECT_FALSE(boolForKey(listed, kHMSyncFieldDeleted));
}

TEST(SyncTypes, NameTablesAndIdentifiers)
{
    struct ConduitRow
    {
        HMSyncConduit conduit;
        const char *identifier;
        const char *letter;
        const char *name;
    };
    const ConduitRow conduits[] = {
        {HMSyncConduit::Contacts, "Contact", "A", "Contacts"},
        {HMSyncConduit::Calendar, "Calendar", "D", "Calendar"},
        {HMSyncConduit::Tasks, "Todo", "T", "Tasks"},
        {HMSyncConduit::Memos, "Memo", "M", "Memos"},
        {HMSyncConduit::None, "", "-", ""},
        {HMSyncConduit(5), "", "-", ""},
    };
    for (const ConduitRow &row : conduits) {
        SCOPED_TRACE(row.letter);
        EXPECT_EQ(conduitIdentifierString(row.conduit), QString::fromLatin1(row.identifier));
        EXPECT_EQ(conduitShortIdentifierString(row.conduit), QString::fromLatin1(row.letter));
        EXPECT_EQ(conduitName(row.conduit), QString::fromLatin1(row.name));
        if (row.conduit != HMSyncConduit::None && row.conduit != HMSyncConduit(5)) {
            EXPECT_EQ(conduitForShortIdentifier(QString::fromLatin1(row.letter)), row.conduit);
        }
    }
    EXPECT_FALSE(conduitForShortIdentifier(QStringLiteral("-")).has_value());

    EXPECT_EQ(conflictSettingName(HMConflictSetting::AppleWins), QStringLiteral("apple_wins"));
    EXPECT_EQ(conflictSettingForName(QStringLiteral("duplicate")), HMConflictSetting::Duplicate);
    EXPECT_EQ(conflictSettingForName(QStringLiteral("last_modified_wins")), HMConflictSetting::LastModifiedWins);
    EXPECT_FALSE(conflictSettingForName(QStringLiteral("Duplicate")).has_value());
    EXPECT_TRUE(conflictSettingName(HMConflictSetting(4)).isEmpty());
    EXPECT_EQ(syncDirectionName(HMSyncDirection::DeviceToMac), QStringLiteral("device_to_mac"));
    EXPECT_EQ(syncDirectionForName(QStringLiteral("mac_to_device")), HMSyncDeletions::MacToDevice);
    EXPECT_FALSE(syncDirectionForName(QString()).has_value());
}

TEST(SyncTypes, PhoneLabelIndexCoversOneToTwenty)
{
    EXPECT_FALSE(phoneLabelForIndex(0).has_value());
    EXPECT_FALSE(phoneLabelForIndex(21).has_value());
    EXPECT_FALSE(phoneLabelForIndex(-1).has_value());
    EXPECT_EQ(QString(phoneLabelForIndex(2)->label), QStringLiteral("mobile"));
    EXPECT_TRUE(phoneLabelForIndex(2)->localizationKey.isEmpty());
    EXPECT_EQ(QString(phoneLabelForIndex(20)->localizationKey), QStringLiteral("label_contact_mms_phone"));
    for (int index = 1; index <= 20; ++index)
        EXPECT_EQ(phoneLabelForIndex(index)->index, index);
}
