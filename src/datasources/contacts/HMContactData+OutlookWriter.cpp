// The other side's contacts written to Outlook: a record the contact map knows (or one equal to an
// unmapped Outlook contact) sets that contact's properties with one script; any other is written as a
// vCard file that Outlook imports, after which its categories, department, prefix, suffix and middle
// name are set and it is moved into the chosen address book.
//
// The map is read once per data source; each new pair is kept aside (HMOutlookConduit) the moment
// Outlook answers, and the pairs join the map with one write when the page is saved, or at the next run
// after a kill. A record Outlook took but whose pair was lost is found
// again by the duplicate search and merged, never added twice.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/PropertyList.h"
#include "sync/HMProfile.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>


using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

namespace {

std::function<void(const QString &)> &vCardKeeper()
{
    static std::function<void(const QString &)> keeper;
    return keeper;
}

std::function<void()> &outlookPause()
{
    static std::function<void()> pause = [] { QThread::msleep(20); };
    return pause;
}

QString value(const QVariantMap &record, const char *key)
{
    return HMContactData::correctedString(record.value(QLatin1String(key)));
}

// A line break of any kind as the two characters backslash and "n".
QString withEscapedBreaks(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\\n")).replace(u'\r', QStringLiteral("\\n")).replace(u'\n', QStringLiteral("\\n"));
}

// A value as a vCard 3.0 text value: backslash, ";" and "," escaped, line breaks as "\n".
QString vCardValue(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u';', QStringLiteral("\\;")).replace(u',', QStringLiteral("\\,"));
    return withEscapedBreaks(escaped);
}

QString vCardDate(const QVariant &date)
{
    if (!date.canConvert<QDateTime>() || !date.toDateTime().isValid())
        return QString();
    return platform::DateFormatter(QStringLiteral("yyyy-MM-dd")).format(date.toDateTime());
}

// ADDRESS1 to 3 joined with single blanks, trailing blanks removed.
QString joinedStreet(const QVariantMap &record, const char *first, const char *second, const char *third)
{
    QString street = value(record, first);
    for (const char *key : {second, third}) {
        if (!street.endsWith(u' '))
            street += u' ';
        street += value(record, key);
    }
    while (street.endsWith(u' '))
        street.chop(1);
    return street;
}

QString addressLine(const QVariantMap &record, const char *prefix, const std::array<const char *, 7> &keys)
{
    QString line = QLatin1String(prefix) + vCardValue(HMContactData::removeNewLines(joinedStreet(record, keys[0], keys[1], keys[2])));
    for (size_t i = 3; i < keys.size(); ++i)
        line += u';' + vCardValue(HMContactData::removeNewLines(value(record, keys[i])));
    return line + QStringLiteral(";\n");
}

QString applicationReference()
{
    return HMOutlookSQLiteHelper::outlookApplicationReference();
}

// The 'seld' of a reply's object specifier (or of its first item); a null text when there is none.
QString specifierId(const NSAppleEventDescriptor &result)
{
    const NSAppleEventDescriptor key = result.descriptorForKeyword(platform::Keyword::KeyData);
    if (!key.stringValue().isEmpty())
        return key.stringValue();
    if (result.numberOfItems() < 1)
        return QString();
    return result.descriptorAtIndex(1).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
}

} // namespace

void HMContactData::setOutlookVCardKeeper(std::function<void(const QString &)> keeper)
{
    vCardKeeper() = std::move(keeper);
}

void HMContactData::setOutlookPause(std::function<void()> pause)
{
    outlookPause() = pause ? std::move(pause) : [] { QThread::msleep(20); };
}

// Applying one record -----------------------------------------------------------------------------

qint64 HMContactData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &record, qint64)
{
    if (record.isEmpty())
        DDLogInfo(QStringLiteral("No contact dictionary"));
    // Outlook went away earlier in this page: the rest waits for the phone to send it again.
    if (m_outlookGoneDuringApply)
        return 0;
    useDefaultOutlookContactFolderIfNoneChosen();
    ++m_recordCounter;
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController()) {
        const QString text = GlobalVariables::getIsGoogleDirect() ? QStringLiteral("Reading Google Contacts %1")
                                                                  : QStringLiteral("Reading Quillpad Contacts %1");
        sheet->setUserMessageDirectly(text.arg(m_recordCounter));
    }
    const QString uid = record.value(QStringLiteral("UID")).toString();
    DDLogInfo(QStringLiteral("deviceRecordId %1").arg(uid));
    if (uid.isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return 0;
    }
    const QString outlookId = outlookContacts().outlookIdForDeviceId(uid);
    DDLogInfo(QStringLiteral("outlookRecordId %1").arg(outlookId));
    if (!outlookId.isEmpty()) {
        DDLogInfo(QStringLiteral("Loading outlook record '%1'").arg(outlookId));
        updateOutlookContactWithUniqueId(outlookId, record);
    } else if (const QString duplicate = isOutlookDuplicate(record); !duplicate.isEmpty()) {
        DDLogInfo(QStringLiteral("Merging duplicate contact %1").arg(uid));
        outlookContacts().keepAppliedPair(duplicate, uid);
        updateOutlookContactWithUniqueId(duplicate, record);
    } else {
        DDLogInfo(QStringLiteral("Adding contact as new"));
        addNewOutlookContactWithDictionary(record);
    }
    DDLogInfo(QStringLiteral("setting actionResult"));
    return 2;
}

void HMContactData::failOutlookApply(const QString &reason)
{
    outlookContacts().fail(reason);
}

// An error that says Outlook is gone ends the page; a refusal is the script's own.
bool HMContactData::noteOutlookGone(const std::optional<NSAppleScriptError> &error)
{
    if (!error || !error->isApplicationGone())
        return false;
    m_outlookGoneDuringApply = true;
    failOutlookApply(QStringLiteral("Outlook did not answer while contacts were written (%1); the phone sends them again.")
                         .arg(error->number));
    return true;
}

// Runs a script that changes Outlook, noting when: the next read begins in a later second.
NSAppleEventDescriptor HMContactData::runOutlookWrite(const QString &script, std::optional<NSAppleScriptError> &error,
                                                      bool writesRecord)
{
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    outlookContacts().noteWrite(writesRecord && !error);
    return result;
}

// The chosen address book's id when contacts are moved into one; a null text otherwise.
QString HMContactData::chosenOutlookFolder()
{
    const QString selection = outlookContactFolderSelection();
    if (selection.isEmpty() || selection == u"allFolders" || !HMOutlookSQLiteHelper::isDecimalId(selection))
        return QString();
    return selection;
}

// Moves the contact into the chosen address book; the id it has there, or a null text when the move
// failed. Outlook gives a moved contact a new id and answers its specifier; without one, the id after
// the old one is what it took.
QString HMContactData::moveOutlookContact(const QString &outlookId, const QString &folder)
{
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = runOutlookWrite(
        QStringLiteral("tell application \"%1\"\nmove contact id %2 to address book id %3\nend tell").arg(applicationReference(), outlookId, folder),
        error);
    if (error) {
        noteOutlookGone(error);
        DDLogInfo(QStringLiteral("The contact %1 could not be moved: %2").arg(outlookId, error->message));
        return QString();
    }
    const QString moved = specifierId(result);
    if (HMOutlookSQLiteHelper::isDecimalId(moved))
        return moved;
    return QString::number(outlookId.toLongLong() + 1);
}

void HMContactData::updateOutlookContactWithUniqueId(const QString &outlookId, const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("updateOutlookContactWithUniqueId:"));
    if (record.isEmpty()) {
        DDLogInfo(QStringLiteral("contactDictionary is nil; returning"));
        return;
    }
    if (!HMOutlookSQLiteHelper::isDecimalId(outlookId)) {
        DDLogInfo(QStringLiteral("Not an Outlook contact id, nothing sent: %1").arg(outlookId));
        return;
    }
    QString target = outlookId;
    if (const QString folder = chosenOutlookFolder(); isDeviceReread() && !folder.isEmpty()) {
        if (const QString moved = moveOutlookContact(outlookId, folder); !moved.isEmpty()) {
            target = moved;
            outlookContacts().keepAppliedPair(moved, record.value(QStringLiteral("UID")).toString());
        }
    }
    if (m_outlookGoneDuringApply)
        return;
    const QString script = QStringLiteral("tell application \"%1\"\nset the properties of contact id \"%2\" to %3\nend tell")
                               .arg(applicationReference(), target, propertiesStringFromContactDictionary(record));
    DDLogInfo(QStringLiteral("modifyContactString %1").arg(script));
    std::optional<NSAppleScriptError> error;
    runOutlookWrite(script, error);
    DDLogInfo(QStringLiteral("errorInfo %1").arg(error ? QStringLiteral("%1 %2").arg(error->number).arg(error->message) : QString()));
    GlobalVariables::incrementContactAddUpdatesThisSync();
    if (error && error->briefMessage.contains(QStringLiteral("t make class contact")))
        GlobalVariables::incrementContactAddUpdateFailuresThisSync();
    noteOutlookGone(error);
}

void HMContactData::addNewOutlookContactWithDictionary(const QVariantMap &record)
{
    QStringList pairs;
    for (auto it = record.constBegin(); it != record.constEnd(); ++it)
        pairs.append(QStringLiteral("%1 = %2").arg(it.key(), it.value().toString()));
    platform::consoleLog(QStringLiteral("addNewOutlookContactWithDictionary {%1}").arg(pairs.join(QStringLiteral("; "))));
    makeVcfFromContactDictionary(record);
}

// The vCard and its import ------------------------------------------------------------------------

QString HMContactData::removeNewLines(const QString &text)
{
    if (text.isNull())
        return QString(QLatin1String(""));
    return QString(text).replace(u'\n', QStringLiteral("\\n"));
}

QString HMContactData::vCardTextFromContactDictionary(const QVariantMap &record)
{
    QString text = QStringLiteral("begin:vcard\nversion:3.0\nprodid:Microsoft-MacOutlook/0.0.0.151105\n");
    text += QStringLiteral("n;charset=utf-8: ");
    for (const char *key : {"NEWLNAME", "NEWFNAME", "MIDNAME", "SALUTATION", "SUFFIX"})
        text += vCardValue(value(record, key)) + u';';
    text += u'\n';
    text += QStringLiteral("title;charset=utf-8:%1\n").arg(vCardValue(value(record, "TITLE")));
    text += QStringLiteral("org;charset=utf-8:%1\n").arg(vCardValue(value(record, "COMPANY")));
    text += QStringLiteral("note;charset=utf-8:%1\n").arg(vCardValue(value(record, "NOTE")));
    if (record.contains(QStringLiteral("NSDATEBIRTHDAY")))
        if (const QString date = vCardDate(record.value(QStringLiteral("NSDATEBIRTHDAY"))); !date.isEmpty())
            text += QStringLiteral("bday:%1\n").arg(date);
    text += addressLine(record, "adr;charset=utf-8;type=work:;;", {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"});
    text += addressLine(record, "adr;charset=utf-8;type=home;type=pref:;;",
                        {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY", "HOMESTATE", "HOMEZIP", "HOMECNTRY"});
    text += vCardPhoneAndMailLines(record);
    if (record.contains(QStringLiteral("NSDATEANNIVERSARY")))
        if (const QString date = vCardDate(record.value(QStringLiteral("NSDATEANNIVERSARY"))); !date.isEmpty())
            text += QStringLiteral("X-ms-anniversary:%1\n").arg(date);
    if (const QVariant children = record.value(QStringLiteral("CHILDREN")); record.contains(QStringLiteral("CHILDREN"))) {
        for (const QString &piece : children.toString().split(u','))
            text += QStringLiteral("X-child;charset=utf-8:%1\n").arg(vCardValue(piece));
    }
    text += QStringLiteral("X-ms-spouse;charset=utf-8:%1\n").arg(vCardValue(value(record, "SPOUSE")));
    if (record.contains(QStringLiteral("NICKNAME")))
        text += QStringLiteral("nickname;charset=utf-8:%1\n").arg(vCardValue(value(record, "NICKNAME")));
    return text + QStringLiteral("end:vcard");
}

QString HMContactData::vCardPhoneAndMailLines(const QVariantMap &record)
{
    static const char *const phones[][3] = {
        {"home", "home phone number", "HOMEPHONE"},       {"work", "business phone number", "WORKPHONE"},
        {"cell", "mobile number", "CELLPHONE"},           {"pager", "pager number", "PAGER"},
        {"custom", "other phone number", "OTHERPHONE"},   {"home;type=fax", "home fax number", "HOMEFAX"},
        {"work;type=fax", "business fax number", "WORKFAX"}, {"work;type=main", "phone", "COMPANYPHONE"}};
    const bool isCloud = isCloudMethod();
    const QVariantMap dictionary = isCloud ? getPhoneDictionaryFromContactDictionary(record) : QVariantMap();
    QString text;
    for (const auto &[type, name, key] : phones) {
        const QString number = isCloud ? correctedString(dictionary.value(QLatin1String(name))) : value(record, key);
        text += QStringLiteral("tel;charset=utf-8;type=%1:%2\n").arg(QLatin1String(type), vCardValue(number));
    }
    for (const auto &[key, type] : {std::pair{"EMAIL", "work"}, std::pair{"EMAIL2", "home"}, std::pair{"EMAIL3", "other"}})
        text += QStringLiteral("email;charset=utf-8;type=internet;type=pref;type=%1:%2\n")
                    .arg(QLatin1String(type), vCardValue(value(record, key)));
    return text;
}

QString HMContactData::outlookFollowUpScript(const QString &outlookId, const QVariantMap &record, const QStringList &fragments)
{
    QString script = QStringLiteral("tell application \"%1\"\nset the properties of contact id %2 to {category:{")
                         .arg(applicationReference(), outlookId)
        + fragments.join(QString());
    if (script.endsWith(QLatin1String(", ")))
        script.chop(2), script += u'}';
    else if (script.endsWith(u'{'))
        script += u'}';
    if (record.contains(QStringLiteral("DEPARTMENT")))
        script += QStringLiteral(", department:\"%1\"").arg(escapedString(value(record, "DEPARTMENT")));
    script += QStringLiteral(", title:\"%1\", suffix:\"%2\", middle name:\"%3\"}\nend tell")
                  .arg(escapedString(value(record, "SALUTATION")), escapedString(value(record, "SUFFIX")),
                       escapedString(value(record, "MIDNAME")));
    return script;
}

bool HMContactData::needsOutlookFollowUp(const QVariantMap &record, const QStringList &fragments)
{
    return record.contains(QStringLiteral("DEPARTMENT")) || !fragments.isEmpty() || !value(record, "SALUTATION").isEmpty()
        || !value(record, "SUFFIX").isEmpty() || !value(record, "MIDNAME").isEmpty();
}

// The path (and its folder) is made once a data source: it is the same for every contact.
QString HMContactData::outlookVCardPath()
{
    if (m_outlookVCardPath.isEmpty())
        m_outlookVCardPath = hmoutlook::tempFilePath(contactMap().getAppDataFolder(), QStringLiteral("temp.vcf"));
    return m_outlookVCardPath;
}

void HMContactData::removeLeftOutlookVCard()
{
    if (m_leftOutlookVCard.isEmpty())
        return;
    QFile::remove(m_leftOutlookVCard);
    m_leftOutlookVCard.clear();
}

bool HMContactData::writeOutlookVCardFile(const QString &path, const QByteArray &bytes)
{
    return hmoutlook::writeTempFile(path, bytes);
}

void HMContactData::makeVcfFromContactDictionary(const QVariantMap &record)
{
    const QStringList fragments = categoryFragments(record);
    const QString text = vCardTextFromContactDictionary(record);
    const QString path = outlookVCardPath();
    // The next contact of the page overwrites the file in place: a file made and removed for each
    // contact cost more than writing its text.
    m_leftOutlookVCard = path;
    if (!writeOutlookVCardFile(path, text.toUtf8())) {
        platform::consoleLog(QStringLiteral("Could not write file!"));
        removeLeftOutlookVCard();
    } else {
        if (vCardKeeper())
            vCardKeeper()(path);
        const QString newId = importVcfFileIntoOutlook(path);
        if (!newId.isEmpty())
            finishImportedContact(newId, record, fragments);
    }
    outlookPause()();
}

void HMContactData::finishImportedContact(const QString &newId, const QVariantMap &record, const QStringList &fragments)
{
    const QString uid = record.value(QStringLiteral("UID")).toString();
    outlookContacts().keepAppliedPair(newId, uid);
    ++m_contactsAddedToOutlookOnThisSync;
    // Only a decimal id goes into a script: the reply is Outlook's, not ours.
    if (!HMOutlookSQLiteHelper::isDecimalId(newId))
        return;
    if (needsOutlookFollowUp(record, fragments)) {
        std::optional<NSAppleScriptError> error;
        runOutlookWrite(outlookFollowUpScript(newId, record, fragments), error);
        if (noteOutlookGone(error))
            return;
    }
    if (const QString folder = chosenOutlookFolder(); !folder.isEmpty()) {
        if (const QString moved = moveOutlookContact(newId, folder); !moved.isEmpty())
            outlookContacts().keepAppliedPair(moved, uid);
    }
}

QString HMContactData::importVcfFileIntoOutlook(const QString &path)
{
    const QString application = applicationReference();
    const QString file = escapedString(path);
    std::optional<NSAppleScriptError> error;
    NSAppleEventDescriptor result =
        runOutlookWrite(QStringLiteral("set theFile to \"%1\"\ntell application \"%2\"\nimport vcf theFile\nend tell").arg(file, application), error);
    if (result.isNil() && !noteOutlookGone(error)) {
        platform::consoleLog(QStringLiteral("?"));
        result = runOutlookWrite(QStringLiteral("set theFile to a reference to POSIX file \"%1\"\ntell application \"%2\"\nimport vcf "
                                                "theFile\nend tell")
                                     .arg(file, application),
                                 error);
        if (result.isNil() && !noteOutlookGone(error))
            DDLogInfo(QStringLiteral("Failed to add record. Outlook not accepting scripts."));
    }
    const QString id = result.numberOfItems() >= 1
        ? result.descriptorAtIndex(1).descriptorForKeyword(platform::Keyword::KeyData).stringValue()
        : QString();
    DDLogInfo(QStringLiteral("Done executing import script"));
    return id;
}

// Offered operations ------------------------------------------------------------------------------

bool HMContactData::writeOutlookId(const QString &outlookId, const QString &deviceId)
{
    if (outlookId.isEmpty() || deviceId.isEmpty())
        return false;
    const QString name = GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14"))
        ? QStringLiteral("contacts-outlook14.plist")
        : QStringLiteral("contacts-outlook.plist");
    const QString path = QDir::homePath() + QStringLiteral("/Documents/") + name;
    return bool(platform::writePropertyList(path, QVariantMap{{outlookId, deviceId}}, platform::PropertyListFormat::Xml,
                                             platform::FilePermissions::OwnerOnly));
}

QString HMContactData::makeTempFolder()
{
    const NSAppleEventDescriptor result =
        NSAppleScript(QStringLiteral("tell application \"%1\"\nmake new address book with properties {name:\"Harrowmere Sync "
                                     "Folder - do not use\"}\nend tell")
                          .arg(applicationReference()))
            .executeAndReturnError();
    if (result.isNil())
        return QString();
    return result.descriptorForKeyword(platform::Keyword::KeyData).stringValue();
}
