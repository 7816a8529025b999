// Texts too long for one reply, fetched in pages of 32,000 UTF-16 units and joined: property texts,
// the duplicate-check text, ids changed since a date, and one contact's text with its extra fields
// and categories.
#include "outlook/HMAppleScripter.h"

#include "outlook/HMAppleScripterConsole.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/DateFormatter.h"

#include <cstring>
#include <utility>

using platform::NSAppleEventDescriptor;
using Event = HMAppleScripter::Event;
namespace Console = HMAppleScripterConsole;

namespace {

const QString kLineBreak = QStringLiteral("\r\n");
// The extra-fields text of a contact without any: "MIDDLENAME:" and nothing after it.
constexpr qsizetype kEmptyExtraFieldsLength = 11;

// The reply's text: texts as they are (an empty text is a text), other values as the platform
// coerces them; nothing for a missing reply or one without a text form.
std::optional<QString> textValue(const NSAppleEventDescriptor &reply)
{
    using namespace platform::DescriptorType;
    const platform::DescType type = reply.descriptorType();
    const QString text = reply.stringValue();
    if (reply.kind() == NSAppleEventDescriptor::Kind::Atomic && (type == UnicodeText || type == UTF8Text || type == Char))
        return text.isNull() ? QStringLiteral("") : text;
    if (text.isNull())
        return std::nullopt;
    return text;
}

// A reply that is a UTF-16 text of exactly a page, without a byte-order mark, appends a whole page:
// the next page will be asked for.
bool isWholeTextPage(quint32 replyLength, QByteArrayView replyHead)
{
    const std::optional<platform::AppleEventWire::ReplyHead> head = platform::AppleEventWire::replyHead(replyLength, replyHead);
    if (!head || head->kind != NSAppleEventDescriptor::Kind::Atomic || head->type != platform::DescriptorType::UnicodeText
        || head->size != quint32(HMAppleScripter::kTextPageCharacters * 2) || head->data.size() < 2)
        return false;
    char16_t first = 0;
    std::memcpy(&first, head->data.data(), sizeof first);
    return first != 0xFEFF;
}

bool hasFolder(const QString &folderId)
{
    return !folderId.isEmpty() && folderId != u"-1";
}

} // namespace

// The pages are appended as they come, each straight from its reply: the joined text is the one
// copy made of them. As soon as a reply's head shows a whole page, the next page (asked for below by
// the same rule) is sent ahead, so the application works on it while this page is read and appended.
QString HMAppleScripter::pagedText(const RangeEventMaker &makeEvent)
{
    QString joined;
    RangeEvents events(makeEvent);
    qint64 end = kTextPageCharacters; // the last unit of the page being read
    const auto nextPage = [&](quint32 replyLength, QByteArrayView replyHead) -> std::optional<Event> {
        if (end >= kMaxPagedCharacters || !isWholeTextPage(replyLength, replyHead))
            return std::nullopt;
        return events.ahead(end + 1, end + kTextPageCharacters);
    };
    (void)executeScriptSynchronously(events.take(1, kTextPageCharacters), nextPage).appendStringValue(joined);
    while (joined.size() == end) {
        if (end >= kMaxPagedCharacters) {
            Console::log(QStringLiteral("returnString.length %1 reached the limit; the rest is not read").arg(end));
            break;
        }
        Console::log(QStringLiteral("returnString.length %1").arg(joined.size()));
        end += kTextPageCharacters;
        const std::optional<qsizetype> appended =
            executeScriptSynchronously(events.take(end - kTextPageCharacters + 1, end), nextPage).appendStringValue(joined);
        if (!appended) {
            Console::log(QStringLiteral("No Value!"));
            break;
        }
        if (*appended == 0)
            break;
    }
    return joined;
}

Event HMAppleScripter::RangeEvents::ahead(qint64 start, qint64 end)
{
    m_ahead.emplace(start, m_makeEvent(start, end));
    return m_ahead->second;
}

Event HMAppleScripter::RangeEvents::take(qint64 start, qint64 end)
{
    std::optional<std::pair<qint64, Event>> made = std::exchange(m_ahead, std::nullopt);
    if (made && made->first == start)
        return std::move(made->second);
    return m_makeEvent(start, end);
}

Event HMAppleScripter::propertiesRangeEvent(Conduit conduit, const QStringList &ids, qint64 start, qint64 end)
{
    static const char *const kRecords[] = {"Contact", "CalendarEvent", "Task"};
    HM_ASSERT(ids.size() == 1 || ids.size() == 2 || ids.size() == 5, QStringLiteral("one, two or five ids"));
    const QLatin1String count(ids.size() == 1 ? "" : ids.size() == 2 ? "Two" : "Five");
    const QString handler = QStringLiteral("getAll") + count + QLatin1String(kRecords[int(conduit)]) +
                            QStringLiteral("PropertiesWithRange");
    const Event event = rangeCall(handler, ids, start, end);
    if (conduit == Conduit::Tasks)
        Console::log(QStringLiteral("event %1").arg(Console::describe(event)));
    return event;
}
Event HMAppleScripter::getPropertiesForContactEvent(const QString &contactId, qint64 start, qint64 end)
{
    return rangeCall(QStringLiteral("getVcardForContactWithTextRange"), {contactId}, start, end);
}
Event HMAppleScripter::getMiscellaneousFieldsForContactEvent(const QString &contactId)
{
    return applicationCall(QStringLiteral("getMiscellaneousFieldsForContactId"), {contactId});
}
Event HMAppleScripter::getLengthOfContactPropertiesEvent(const QString &contactId)
{
    return applicationCall(QStringLiteral("getLengthOfContactProperties"), {contactId});
}

Event HMAppleScripter::getContactIds(qint64 start, qint64 end, const QDateTime &modifiedSince, const QString &folderId)
{
    const QString dateText = ensureAppleScriptDateFormatter().format(modifiedSince);
    const QStringList date{dateText.isNull() ? QStringLiteral("") : dateText};
    if (hasFolder(folderId))
        return rangeCall(QStringLiteral("getAllContactIdsInFolderWithRangeAndModifiedDate"), {}, start, end, date + QStringList{folderId});
    return rangeCall(QStringLiteral("getAllContactIdsWithRangeAndModifiedDate"), {}, start, end, date);
}

Event HMAppleScripter::getContactPropertiesForDupeCheckWithStartRange(qint64 start, qint64 end, const QString &folderId)
{
    if (folderId == u"-1")
        return rangeCall(QStringLiteral("getContactPropertiesForDupeCheck"), {}, start, end);
    const QString folder = folderId.isNull() ? QStringLiteral("") : folderId;
    return rangeCall(QStringLiteral("getContactPropertiesInFolderForDupeCheck"), {}, start, end, {folder});
}

Event HMAppleScripter::getAllContactModifiedDatesEventWithStartRange(qint64 start, qint64 end)
{
    return rangeCall(QStringLiteral("getAllContactModifiedDatesWithRange"), {}, start, end);
}
Event HMAppleScripter::getAllContactModifiedIdsEventWithStartRange(qint64 start, qint64 end)
{
    return rangeCall(QStringLiteral("getAllContactIdsWithRange"), {}, start, end);
}
Event HMAppleScripter::getAllContactEventWithStartRange(qint64 start, qint64 end)
{
    return rangeCall(QStringLiteral("getAllContactsWithRange"), {}, start, end);
}

QString HMAppleScripter::propertiesText(Conduit conduit, const QStringList &ids)
{
    const QString text =
        pagedText([&](qint64 start, qint64 end) { return propertiesRangeEvent(conduit, ids, start, end); });
    if (conduit == Conduit::Tasks && ids.size() == 1)
        Console::log(QStringLiteral("-[HMAppleScripter getPropertiesStringForTaskIdNewMethod:]"));
    return text;
}
QString HMAppleScripter::getContactPropertiesForDupeCheck()
{
    return pagedText([&](qint64 start, qint64 end) {
        return getContactPropertiesForDupeCheckWithStartRange(start, end, QStringLiteral("-1"));
    });
}
QString HMAppleScripter::getContactPropertiesInFolderForDupeCheck(const QString &folderId)
{
    return pagedText([&](qint64 start, qint64 end) { return getContactPropertiesForDupeCheckWithStartRange(start, end, folderId); });
}

QStringList HMAppleScripter::getAllContactIdsModifiedSince(const QDateTime &date, const QString &folderId)
{
    const QDateTime since = date.isValid() ? date : distantPast();
    const QString joined = pagedText([&](qint64 start, qint64 end) { return getContactIds(start, end, since, folderId); });
    return joined.split(u',');
}

QString HMAppleScripter::getPropertiesStringForContactId(const QString &contactId)
{
    QString text = pagedText([&](qint64 start, qint64 end) { return getPropertiesForContactEvent(contactId, start, end); });
    Console::log(QStringLiteral("FINAL LENGTH %1").arg(text.size()));
    const NSAppleEventDescriptor fields = executeScriptSynchronously(getMiscellaneousFieldsForContactEvent(contactId));
    QString extraFields;
    QStringList categories;
    for (qint64 i = 1; i <= fields.numberOfItems(); ++i) {
        const NSAppleEventDescriptor item = fields.descriptorAtIndex(i);
        if (const std::optional<QString> itemText = textValue(item))
            extraFields = *itemText;
        if (const std::optional<QString> category = textValue(item.descriptorForKeyword(platform::Keyword::KeyData)))
            categories.append(*category);
    }
    if (extraFields.size() > kEmptyExtraFieldsLength)
        text += kLineBreak + extraFields;
    text += kLineBreak + QStringLiteral("CATEGORIES:") + categories.join(u'\t');
    Console::log(QStringLiteral("returnString %1").arg(Console::bounded(text)));
    return text;
}
