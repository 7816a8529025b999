#include "sync/HMSyncTypes.h"

#include "sync/HMSyncFields.h"

#include <array>

namespace {

struct ConduitNames
{
    HMSyncConduit conduit;
    QLatin1StringView identifier;
    QLatin1StringView shortIdentifier;
    QLatin1StringView name;
};

constexpr std::array<ConduitNames, 4> kConduitNames{{
    {HMSyncConduit::Contacts, QLatin1StringView("Contact"), QLatin1StringView("A"), QLatin1StringView("Contacts")},
    {HMSyncConduit::Calendar, QLatin1StringView("Calendar"), QLatin1StringView("D"), QLatin1StringView("Calendar")},
    {HMSyncConduit::Tasks, QLatin1StringView("Todo"), QLatin1StringView("T"), QLatin1StringView("Tasks")},
    {HMSyncConduit::Memos, QLatin1StringView("Memo"), QLatin1StringView("M"), QLatin1StringView("Memos")},
}};

constexpr std::array<QLatin1StringView, 4> kConflictSettingNames{
    QLatin1StringView("last_modified_wins"), QLatin1StringView("apple_wins"), QLatin1StringView("device_wins"),
    QLatin1StringView("duplicate")};

constexpr std::array<QLatin1StringView, 3> kSyncDirectionNames{
    QLatin1StringView("two_way"), QLatin1StringView("mac_to_device"), QLatin1StringView("device_to_mac")};

constexpr std::array<HMPhoneLabel, 20> kPhoneLabels{{
    {1, QLatin1StringView("home"), QLatin1StringView()},
    {2, QLatin1StringView("mobile"), QLatin1StringView()},
    {3, QLatin1StringView("work"), QLatin1StringView()},
    {4, QLatin1StringView("work fax"), QLatin1StringView()},
    {5, QLatin1StringView("home fax"), QLatin1StringView()},
    {6, QLatin1StringView("pager"), QLatin1StringView()},
    {7, QLatin1StringView("other"), QLatin1StringView()},
    {8, QLatin1StringView("callback"), QLatin1StringView("label_contact_callback_phone")},
    {9, QLatin1StringView("car"), QLatin1StringView("label_contact_car_phone")},
    {10, QLatin1StringView("main"), QLatin1StringView()},
    {11, QLatin1StringView("ISDN"), QLatin1StringView("label_contact_isdn_phone")},
    {12, QLatin1StringView("company"), QLatin1StringView("label_contact_company_phone")},
    {13, QLatin1StringView("other fax"), QLatin1StringView("label_contact_other_fax")},
    {14, QLatin1StringView("radio"), QLatin1StringView("label_contact_radio_phone")},
    {15, QLatin1StringView("telex"), QLatin1StringView("label_contact_telex_phone")},
    {16, QLatin1StringView("TTY/TDD"), QLatin1StringView("label_contact_ttytdd_phone")},
    {17, QLatin1StringView("work mobile"), QLatin1StringView("label_contact_work_mobile_phone")},
    {18, QLatin1StringView("work pager"), QLatin1StringView("label_contact_work_pager")},
    {19, QLatin1StringView("assistant"), QLatin1StringView("label_contact_assistant_phone")},
    {20, QLatin1StringView("MMS"), QLatin1StringView("label_contact_mms_phone")},
}};

const ConduitNames *namesOf(HMSyncConduit conduit)
{
    for (const ConduitNames &names : kConduitNames) {
        if (names.conduit == conduit)
            return &names;
    }
    return nullptr;
}

template <typename Enum, std::size_t Count>
QString nameInTable(const std::array<QLatin1StringView, Count> &table, Enum value)
{
    const auto number = static_cast<quint64>(value);
    return number < Count ? QString(table[number]) : QString();
}

template <typename Enum, std::size_t Count>
std::optional<Enum> valueInTable(const std::array<QLatin1StringView, Count> &table, const QString &name)
{
    for (std::size_t number = 0; number < Count; ++number) {
        if (name == table[number])
            return static_cast<Enum>(number);
    }
    return std::nullopt;
}

} // namespace

QString conduitIdentifierString(HMSyncConduit conduit)
{
    const ConduitNames *names = namesOf(conduit);
    return names != nullptr ? QString(names->identifier) : QString();
}

QString conduitShortIdentifierString(HMSyncConduit conduit)
{
    const ConduitNames *names = namesOf(conduit);
    return names != nullptr ? QString(names->shortIdentifier) : QStringLiteral("-");
}

std::optional<HMSyncConduit> conduitForShortIdentifier(const QString &letter)
{
    for (const ConduitNames &names : kConduitNames) {
        if (letter == names.shortIdentifier)
            return names.conduit;
    }
    return std::nullopt;
}

QString conduitName(HMSyncConduit conduit)
{
    const ConduitNames *names = namesOf(conduit);
    return names != nullptr ? QString(names->name) : QString();
}

QString conflictSettingName(HMConflictSetting setting)
{
    return nameInTable(kConflictSettingNames, setting);
}

std::optional<HMConflictSetting> conflictSettingForName(const QString &name)
{
    return valueInTable<HMConflictSetting>(kConflictSettingNames, name);
}

QString syncDirectionName(HMSyncDirection direction)
{
    return nameInTable(kSyncDirectionNames, direction);
}

std::optional<HMSyncDirection> syncDirectionForName(const QString &name)
{
    return valueInTable<HMSyncDirection>(kSyncDirectionNames, name);
}

HMSyncFieldType syncFieldType(const QString &key, HMSyncConduit conduit)
{
    if (key == kHMSyncFieldEKRecurrenceRule)
        return HMSyncFieldType::Object;
    if (key.startsWith(QLatin1String("NSDATE")) || key == kHMSyncFieldDueDate)
        return HMSyncFieldType::Date;
    if (key.startsWith(QLatin1String("NSNUMBER")) || key == kHMSyncFieldAction || key == kHMSyncFieldPriority
        || key == kHMSyncFieldMaxPriority)
        return HMSyncFieldType::Number;
    if (key.startsWith(QLatin1String("NSARRAY")))
        return HMSyncFieldType::TextList;
    if (key == kHMSyncFieldTypeNumber || key == kHMSyncFieldHasDueDate)
        return HMSyncFieldType::BooleanNumber;
    // Events carry "COMPLETED" as the text "0"; the task stores write a flag.
    if (conduit == HMSyncConduit::Tasks && key == kHMSyncFieldCompleted)
        return HMSyncFieldType::BooleanNumber;
    if (conduit == HMSyncConduit::Tasks && key == kHMSyncFieldPercentComplete)
        return HMSyncFieldType::TextOrNumber;
    return HMSyncFieldType::Text;
}

std::optional<HMPhoneLabel> phoneLabelForIndex(qint64 index)
{
    if (index < 1 || index > static_cast<qint64>(kPhoneLabels.size()))
        return std::nullopt;
    return kPhoneLabels[static_cast<std::size_t>(index - 1)];
}
