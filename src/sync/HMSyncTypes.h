#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

// The enumerations that records, conduit state and profiles share, with the names under which files and
// windows know them, the value type of each record key, and the phone label index. Plain data and pure
// functions; any thread may use them.

// The four kinds of record a profile synchronises. A number outside 1 to 4 stands for no conduit.
enum class HMSyncConduit : quint64 {
    None = 0,
    Contacts = 1,
    Calendar = 2,
    Tasks = 3,
    Memos = 4,
};

// The four conduits, in the order a run takes them.
inline constexpr std::array<HMSyncConduit, 4> kHMSyncConduits{HMSyncConduit::Contacts, HMSyncConduit::Calendar,
                                                              HMSyncConduit::Tasks, HMSyncConduit::Memos};

// Whether a conduit number, as the transports and the sync client pass it, names one of the four.
constexpr bool isSyncConduit(quint64 number)
{
    return number >= quint64(HMSyncConduit::Contacts) && number <= quint64(HMSyncConduit::Memos);
}

// Which side wins when both changed a record. The data sources treat every number other than 0, 1 and
// 3 as a win for the other side.
enum class HMConflictSetting : quint64 {
    LastModifiedWins = 0,
    AppleWins = 1,
    DeviceWins = 2,
    Duplicate = 3,
};

// Which way records travel.
enum class HMSyncDirection : quint64 {
    TwoWay = 0,
    MacToDevice = 1,
    DeviceToMac = 2,
};

// Which way deletions travel: the numbers and names of the directions.
using HMSyncDeletions = HMSyncDirection;

// The long identifier of a conduit ("Contact", "Calendar", "Todo", "Memo"); empty for no conduit.
QString conduitIdentifierString(HMSyncConduit conduit);

// The conduit letter ("A", "D", "T", "M") that names identifier graphs and error-log entries; "-" for
// no conduit.
QString conduitShortIdentifierString(HMSyncConduit conduit);

// The conduit for a conduit letter; none for any other text.
std::optional<HMSyncConduit> conduitForShortIdentifier(const QString &letter);

// The conduit's name in Outlook record counts and messages ("Contacts", "Calendar", "Tasks", "Memos");
// empty for no conduit.
QString conduitName(HMSyncConduit conduit);

// "last_modified_wins", "apple_wins", "device_wins", "duplicate"; empty for other numbers.
QString conflictSettingName(HMConflictSetting setting);
std::optional<HMConflictSetting> conflictSettingForName(const QString &name);

// "two_way", "mac_to_device", "device_to_mac"; empty for other numbers. Deletion policies use the same.
QString syncDirectionName(HMSyncDirection direction);
std::optional<HMSyncDirection> syncDirectionForName(const QString &name);

// What a record key holds.
enum class HMSyncFieldType {
    Text,          // text; flags and counts as decimal text
    Date,          // a date
    Number,        // a number
    BooleanNumber, // a number read as a flag
    TextList,      // a list of texts
    TextOrNumber,  // either, depending on which store wrote it
    Object,        // an in-memory object that is never sent
};

// The value type of a record key in a conduit: "NSDATE…" keys hold dates, "NSNUMBER…" numbers,
// "NSARRAY…" lists of texts, every other key text, except the few named keys that hold numbers, flags, a
// date ("DUEDATE") or an in-memory rule object ("EKRECURRENCERULE").
HMSyncFieldType syncFieldType(const QString &key, HMSyncConduit conduit);

// One entry of the phone label index, the decimal value of "PHONELABEL1" to "PHONELABEL14".
struct HMPhoneLabel
{
    int index = 0;
    QLatin1StringView label;           // what the label stands for
    QLatin1StringView localizationKey; // the label's text where the address book has no label of its own
};

// The label with that index; none outside 1 to 20.
std::optional<HMPhoneLabel> phoneLabelForIndex(qint64 index);
