// The memo data source's write side: a memo text turned into the memo record, the device's memos
// applied to Outlook's notes (a mapped or matching note is updated, any other added, no conflict
// test), the duplicate test over every note read once per run, and the properties record of a note.
//
// Names and contents reach the script through the full escape of script strings: whatever a memo
// holds, it stays one string literal.

#include "datasources/tasks/HMMemoData.h"

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

using calendaroutlook::application;
using calendaroutlook::textOf;

namespace {

constexpr quint64 kCloudSyncMethod = 4;

QString corrected(const QString &text)
{
    return HMCalendarData::correctedString(text);
}

// The text before its first line feed, then before its first carriage return.
QString firstLine(const QString &text)
{
    return text.section(u'\n', 0, 0).section(u'\r', 0, 0);
}

// The first line beginning with the prefix and longer than `minimum`: its text after the prefix.
std::optional<QString> lineValue(const QStringList &lines, QStringView prefix, qsizetype minimum)
{
    for (const QString &line : lines) {
        if (line.startsWith(prefix) && line.size() > minimum)
            return line.mid(prefix.size());
    }
    return std::nullopt;
}

QString memoBody(const QString &text)
{
    static const QString marker = QStringLiteral("PLAINTEXTNOTE:");
    const qsizetype at = text.indexOf(marker);
    if (at < 0 || text.size() <= at + 15)
        return QString();
    QString body = text.mid(at + marker.size());
    if (const qsizetype cut = body.indexOf(QStringLiteral("OUTLOOKID")); cut >= 0)
        body.truncate(cut);
    return body.startsWith(QStringLiteral("(null)")) ? QString() : body;
}

QString memoSummary(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("SUMMARY:")))
            return line.size() >= 9 ? QString(line.mid(line.indexOf(u':') + 1)).remove(u'\r') : QString();
    }
    return QString();
}

QString memoNoteText(QString body)
{
    if (body.isEmpty() || body == u"\\n")
        return QString();
    body.replace(QStringLiteral(" \n"), QStringLiteral(" "));
    body.replace(QStringLiteral("\n "), QStringLiteral(" "));
    body.replace(QStringLiteral("\r"), QStringLiteral("\r\n"));
    body = corrected(body);
    while (body.endsWith(u'\n'))
        body.chop(1);
    return body == u"(null)" ? QString() : body;
}

QStringList listOf(const QVariantMap &record, const char *key)
{
    return record.value(QLatin1String(key)).toStringList();
}

} // namespace

QVariantMap HMMemoData::pppDictionaryForOutlookMemo(const QString &text)
{
    const QStringList lines = text.split(u'\n');
    const QString summary = memoSummary(lines);
    const QString note = memoNoteText(memoBody(text));
    QVariantMap record;
    if (profileSyncMethod() == kCloudSyncMethod) {
        record.insert(QStringLiteral("SUBJECT"), corrected(summary));
        record.insert(QStringLiteral("NOTE"), corrected(note));
    } else {
        record.insert(QStringLiteral("NOTE"), QStringLiteral("%1\n%2").arg(summary, corrected(note)));
    }
    QStringList names;
    if (const std::optional<QString> line = lineValue(lines, u"CATEGORIES:", 11)) {
        DDLogInfo(QStringLiteral("Outlook task category string %1").arg(*line));
        names = QString(*line).remove(u'\r').split(u'\t');
    }
    record.insert(QStringLiteral("NSARRAYCATEGORIES"), names);
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    HMOutlookCategoryHelper::insertColorsOfCategories(record, names, categoryHelper().get());
    return record;
}

qint64 HMMemoData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &record, qint64)
{
    ensureMemoFolder();
    ++m_recordCounter;
    GlobalVariables::showSyncUserMessage(QStringLiteral("Reading Quillpad Memos %1").arg(m_recordCounter));
    const bool applied = outlookMemos().applyByDeviceId(
        textOf(record, "UID"), QLatin1StringView("memo"), [&] { return isOutlookDuplicate(record); },
        [&] { addNewOutlookMemoWithDictionary(record); },
        [&](const QString &outlookId) { updateOutlookMemoWithUniqueId(outlookId, record); });
    return applied ? 2 : 1;
}

// The pair is on disk (the confirmed-pairs file) before the next record is applied.
void HMMemoData::keepMemoPair(const QString &outlookId, const QString &deviceId)
{
    outlookMemos().keepAppliedPair(outlookId, deviceId);
}

// Outlook gone ends the page (the other side sends the memos again); a refusal is the script's own.
NSAppleEventDescriptor HMMemoData::runWriteScript(const QString &script)
{
    if (m_outlookGone)
        return NSAppleEventDescriptor();
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    outlookMemos().noteWrite(!error);
    if (error && error->isApplicationGone()) {
        m_outlookGone = true;
        outlookMemos().fail(QStringLiteral("Outlook did not answer while notes were written (%1); the other side sends them again.")
                 .arg(error->number));
        return NSAppleEventDescriptor();
    }
    if (error)
        DDLogError(QStringLiteral("A note script failed: %1 (%2)").arg(error->message).arg(error->number));
    return result;
}

platform::Status HMMemoData::syncAppliedChangesToDisk()
{
    if (!GlobalVariables::getIsOutlookSync())
        return platform::success();
    return outlookMemos().commitAppliedPairs();
}

void HMMemoData::buildDupeCheckDictionary()
{
    m_outlookDuplicates.emplace();
    GlobalVariables::showSyncUserMessage(QStringLiteral("Building list of Outlook records (this may take a minute)"));
    const QString script =
        HMOutlookSQLiteHelper::propertiesListingScript(HMOutlookSQLiteHelper::Kind::Memos, memoFolder());
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor notes = NSAppleScript(script).executeAndReturnError(&error);
    outlookMemos().forEachUnpairedItem(notes, [this](const QString &id, const NSAppleEventDescriptor &note) {
        const QString name = note.descriptorForKeyword(platform::fourCharCode("pnam")).stringValue();
        const QString plain = note.descriptorForKeyword(platform::fourCharCode("PlTC")).stringValue();
        // Filed by its name and first line, and by its first line alone for records without a name.
        m_outlookDuplicates->insert(id, {OutlookDuplicateIndex::keyOf({name, firstLine(plain)}),
                                         OutlookDuplicateIndex::keyOf({firstLine(plain)})});
    });
}

QString HMMemoData::isOutlookDuplicate(const QVariantMap &record)
{
    if (!m_outlookDuplicates)
        buildDupeCheckDictionary();
    const QString note = firstLine(textOf(record, "NOTE"));
    // A record without SUBJECT (every sync method but the cloud's) made its note with no name, which
    // Outlook then names itself: only the text is compared, or a note added by a run that ended before
    // its pair was kept would never be found and the memo would be added twice. Matched once, the note
    // is no longer a duplicate of a second memo alike.
    return m_outlookDuplicates->take(record.contains(QStringLiteral("SUBJECT"))
                                         ? OutlookDuplicateIndex::keyOf({textOf(record, "SUBJECT"), note})
                                         : OutlookDuplicateIndex::keyOf({note}));
}

void HMMemoData::addNewOutlookMemoWithDictionary(const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("Updating Memo: %1").arg(escapedString(textOf(record, "SUBJECT"))));
    DDLogInfo(QStringLiteral("Getting memo properties"));
    const QString script =
        HMOutlookSQLiteHelper::makeNewScript(HMOutlookSQLiteHelper::Kind::Memos, QStringLiteral("newMemo"),
                                             memoFolder(), propertiesStringFromMemoDictionary(record));
    const NSAppleEventDescriptor result = runWriteScript(script);
    const QString outlookId = HMOutlookSQLiteHelper::getUniqueIdOfMostRecentlyAddedMemo(result);
    if (!outlookId.isEmpty())
        keepMemoPair(outlookId, textOf(record, "UID"));
}

void HMMemoData::updateOutlookMemoWithUniqueId(const QString &outlookId, const QVariantMap &record)
{
    const QString folder = memoFolder();
    if (isDeviceReread() && !folder.isEmpty())
        runWriteScript(QStringLiteral("tell application \"%1\"\nmove note id %2 to note folder id %3\nend tell")
                           .arg(application(), outlookId, folder));
    runWriteScript(QStringLiteral("tell application \"%1\"\nset the properties of note id \"%2\" to %3\nend tell")
                       .arg(application(), outlookId, propertiesStringFromMemoDictionary(record)));
}

QStringList HMMemoData::categoryNamesOf(const QVariantMap &record) const
{
    if (record.contains(QStringLiteral("NSARRAYCATEGORIES")))
        return listOf(record, "NSARRAYCATEGORIES");
    const QString category = textOf(record, "CATEGORY");
    if (QString(category).remove(u',').isEmpty())
        return {};
    return category.split(u',');
}

// The colour indexes as the category helper takes them, or an empty text for none.
QString HMMemoData::indexTextOf(const QVariantMap &record, qsizetype nameCount) const
{
    const QString colorIndex = textOf(record, "COLORINDEX");
    const QStringList indexes = profileSyncMethod() == kCloudSyncMethod ? listOf(record, "NSARRAYCATEGORYCOLORINDEXES")
                                                                        : colorIndex.split(u',', Qt::SkipEmptyParts);
    if (!indexes.isEmpty() && indexes.size() == nameCount)
        return indexes.join(u'\t') + u'\t';
    if (QString(colorIndex).remove(u',').remove(u'\t').isEmpty())
        return QString();
    QString text = QString(colorIndex).replace(u',', u'\t');
    const QString colorText = textOf(record, "CATEGORYCOLOR");
    const QStringList entries = text.split(u'\t');
    const QStringList colors = colorText.split(u',');
    if (!text.contains(QStringLiteral("-1")) || colorText.isEmpty() || colors.size() != entries.size())
        return text;
    QStringList rebuilt;
    for (qsizetype i = 0; i < entries.size(); ++i)
        rebuilt.append(entries.at(i).startsWith(QStringLiteral("-1")) ? QStringLiteral("-1:") + colors.at(i) : entries.at(i));
    return rebuilt.join(u'\t');
}

QString HMMemoData::categoryReferences(const QVariantMap &record)
{
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    const QStringList names = categoryNamesOf(record);
    const QString joined = corrected(names.join(u'\t').replace(u',', u'\t'));
    if (joined.isEmpty()) {
        DDLogInfo(QStringLiteral("Blank category!"));
        return QString();
    }
    // Each reference ends in ", ".
    return categoryHelper()->arrayOfCommandsForCategoryString(joined, indexTextOf(record, names.size())).join(QString());
}

QString HMMemoData::propertiesStringFromMemoDictionary(const QVariantMap &record)
{
    const QString references = categoryReferences(record);
    const QString name = escapedString(textOf(record, "SUBJECT"));
    QString note = textOf(record, "NOTE");
    if (profileSyncMethod() != kCloudSyncMethod) {
        if (const qsizetype at = note.indexOf(u'\r'); at >= 0)
            note = note.mid(at);
        while (note.startsWith(u'\r') && note.size() >= 2)
            note.remove(0, 1);
    }
    note = escapedString(note);
    QString text = QStringLiteral("{");
    if (!name.isEmpty())
        text += QStringLiteral("name:\"%1\", ").arg(name);
    if (!note.isEmpty())
        text += QStringLiteral("plain text content:\"%1\", ").arg(note);
    text += references.isEmpty() ? QStringLiteral("category:{}, ")
                                 : QStringLiteral("category:{%1}, ").arg(references.chopped(2));
    text.chop(2);
    return text + u'}';
}
