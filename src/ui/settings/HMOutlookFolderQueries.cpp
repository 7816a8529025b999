#include "ui/settings/HMOutlookFolderQueries.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/applescript/NSAppleScript.h"

#include <QDir>
#include <QFontDatabase>

namespace {

using platform::NSAppleEventDescriptor;
using platform::fourCharCode;

constexpr int kErrorFoldersUnreadable = -2753;

const QString kAllFolders = QStringLiteral("allFolders");
const QString kTell = QStringLiteral("tell application \"%1\"\n");

// Text put between the double quotes of a script literal as it is: backslashes and quotation marks
// escaped, nothing else changed.
QString quoted(QString text)
{
    return text.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
}

// The label's run in the system font, then the count's run in Verdana italic, dark grey.
platform::StyledText countedLabel(const QString &label, const QString &count)
{
    // Made once: looking fonts up costs more than the script round trip of a count.
    static const QFont system = [] {
        QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setPointSize(13);
        return font;
    }();
    static const QFont verdana = [] {
        QFont font(QStringLiteral("Verdana"));
        font.setPointSize(13);
        font.setItalic(true);
        return font;
    }();
    return platform::StyledText{{{label, system, QColor(Qt::black)}, {count, verdana, QColor(Qt::darkGray)}}};
}

} // namespace

void HMFolderMap::clear()
{
    m_keys.clear();
    m_values.clear();
}

void HMFolderMap::insert(const QString &key, const QVariant &value)
{
    if (!m_values.contains(key))
        m_keys.append(key);
    m_values.insert(key, value);
}

QVariantList HMFolderMap::items() const
{
    QVariantList items;
    for (const QString &key : m_keys)
        items.append(m_values.value(key));
    return items;
}

qsizetype HMFolderMap::indexOfKey(const QString &savedChoice) const
{
    const qsizetype index = m_keys.indexOf(savedChoice.isNull() ? kAllFolders : savedChoice);
    return index >= 0 ? index : 0;
}

std::optional<NSAppleEventDescriptor> HMOutlookFolderQueries::run(const QString &source, int *errorNumber) const
{
    if (errorNumber != nullptr)
        *errorNumber = 0;
    if (m_cancelled.load())
        return std::nullopt;
    if (m_configuration.willRunScript)
        m_configuration.willRunScript(source);
    platform::NSAppleScript script(source);
    script.setTimeout(m_configuration.scriptTimeout);
    std::optional<platform::NSAppleScriptError> error;
    NSAppleEventDescriptor reply = script.executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("Outlook script failed (%1): %2").arg(error->number).arg(error->message));
        if (errorNumber != nullptr)
            *errorNumber = error->number;
        return std::nullopt;
    }
    return reply;
}

QString HMOutlookFolderQueries::completedApplicationPath(const QString &setting)
{
    if (setting.endsWith(u'/'))
        return setting + QStringLiteral("Microsoft Outlook.app");
    if (setting.endsWith(QStringLiteral(".app")))
        return setting;
    if (setting.endsWith(QStringLiteral("look")))
        return setting + QStringLiteral(".app");
    return setting + QStringLiteral("/Microsoft Outlook.app");
}

QString HMOutlookFolderQueries::applicationText() const
{
    if (m_configuration.useCustomOutlookApplicationPath && !m_configuration.outlookApplicationPathSetting.isEmpty()) {
        DDLogInfo(QStringLiteral("Using user-supplied application path: %1").arg(m_configuration.outlookApplicationPathSetting));
        return completedApplicationPath(m_configuration.outlookApplicationPathSetting);
    }
    return QLatin1String(kDefaultReference);
}

QString HMOutlookFolderQueries::versionFor(const QString &application) const
{
    const std::optional<NSAppleEventDescriptor> reply =
        run(kTell.arg(quoted(application)) + QStringLiteral("set outlookVersion to version\nreturn outlookVersion\nend tell"));
    return reply ? reply->stringValue() : QString();
}

bool HMOutlookFolderQueries::validateOutlookConfiguration()
{
    installedOutlookVersion = versionFor(applicationText());
    const QString &version = installedOutlookVersion;
    const QString &configured = m_configuration.configuredOutlookVersion;
    if (version.contains(u"Windows") || version.contains(u"boot") || version.contains(u"VM")) {
        QString path;
        if (configured == u"14")
            path = QStringLiteral("/Applications/Microsoft Office 2011/Microsoft Outlook.app");
        else if (configured == u"15")
            path = QStringLiteral("/Applications/Microsoft Outlook.app");
        installedOutlookVersion = path.isNull() ? QString() : versionFor(path);
        applicationReference = path;
    } else {
        applicationReference = QLatin1String(kDefaultReference);
    }
    isReferenceRecorded = true;
    if (configured == u"14")
        return installedOutlookVersion.startsWith(u"14");
    if (configured == u"15")
        return installedOutlookVersion.startsWith(u"15") || installedOutlookVersion.startsWith(u"16");
    return false;
}

QString HMOutlookFolderQueries::reference() const
{
    return quoted(applicationReference.isEmpty() ? QLatin1String(kDefaultReference) : applicationReference);
}

void HMOutlookFolderQueries::buildAccountNameDictionary()
{
    accountNameDictionary.clear();
    const QString application = reference();
    const std::optional<NSAppleEventDescriptor> ids = run(
        kTell.arg(application)
        + QStringLiteral("set theId to the id of every exchange account of application \"%1\"\nreturn theId\nend tell").arg(application));
    if (!ids)
        return;
    QStringList accountIds;
    for (qint64 i = 1; i <= ids->numberOfItems(); ++i) {
        const QString id = ids->descriptorAtIndex(i).stringValue();
        if (!id.isEmpty())
            accountIds.append(id);
    }
    for (const QString &id : accountIds) {
        const std::optional<NSAppleEventDescriptor> name =
            run(kTell.arg(application) + QStringLiteral("return the name of exchange account id \"%1\"\nend tell").arg(quoted(id)));
        if (name && !name->stringValue().isEmpty())
            accountNameDictionary.insert(id, name->stringValue());
    }
}

QVariantList HMOutlookFolderQueries::folderList(const FolderKind &kind, HMFolderMap &folders, bool *unreadable)
{
    folders.clear();
    folders.insert(kAllFolders, QLatin1String(kind.allLabel));
    const bool hasAccounts = !accountNameDictionary.isEmpty();
    const QString application = reference();
    int errorNumber = 0;
    const std::optional<NSAppleEventDescriptor> reply = run(
        kTell.arg(application)
            + QStringLiteral("set theFolders to the properties of every %1 of application \"%2\"\nreturn theFolders\nend tell")
                  .arg(QLatin1String(kind.folderClass), application),
        &errorNumber);
    if (unreadable != nullptr)
        *unreadable = errorNumber == kErrorFoldersUnreadable;
    for (qint64 i = 1; reply && i <= reply->numberOfItems(); ++i) {
        const NSAppleEventDescriptor record = reply->descriptorAtIndex(i);
        const NSAppleEventDescriptor account = record.descriptorForKeyword(fourCharCode("cAct"));
        const QString accountId = account.numberOfItems() >= 1 ? account.descriptorForKeyword(fourCharCode("seld")).stringValue() : QString();
        const QString id = record.descriptorForKeyword(fourCharCode("ID  ")).stringValue();
        const QString name = record.descriptorForKeyword(fourCharCode("pnam")).stringValue();
        QString label = name;
        if (accountNameDictionary.contains(accountId))
            label = QStringLiteral("%1 : %2").arg(accountNameDictionary.value(accountId), name);
        else if (!accountId.isEmpty())
            label = name; // an account that is not an Exchange account has no name to show
        else if (hasAccounts)
            label = QStringLiteral("On My Computer : %1").arg(name);
        if (!id.isEmpty() && !label.isNull())
            folders.insert(id, label);
    }
    HMFolderMap counted;
    for (const QString &key : folders.keys())
        counted.insert(key, countedItem(kind, key, folders.value(key).toString()));
    for (const QString &key : counted.keys())
        folders.insert(key, counted.value(key));
    return folders.items();
}

QVariant HMOutlookFolderQueries::countedItem(const FolderKind &kind, const QString &key, const QString &label) const
{
    const QString application = reference();
    const std::optional<NSAppleEventDescriptor> reply = run(
        kTell.arg(application)
        + QStringLiteral("set theCount to the count of the %1 id %2\nreturn theCount\nend tell").arg(QLatin1String(kind.countedClass), key));
    const QString count = reply ? reply->stringValue() : QString();
    if (count.isEmpty())
        return label;
    const QString word = kind.singularRecord && count == u"1" ? QStringLiteral("record") : QStringLiteral("records");
    return QVariant::fromValue(countedLabel(label, QStringLiteral(" - %1 %2").arg(count, word)));
}

namespace {
constexpr char kContacts[] = "address book";
}

QVariantList HMOutlookFolderQueries::contactsComboBoxArray()
{
    static const FolderKind kind{kContacts, "contacts in address book", "All Contact Folders", false};
    return folderList(kind, contactFoldersDictionary, &contactFoldersUnreadable);
}

QVariantList HMOutlookFolderQueries::calendarComboBoxArray()
{
    static const FolderKind kind{"calendar", "calendar events in calendar", "All Calendar Folders", true};
    return folderList(kind, calendarFoldersDictionary, nullptr);
}

QVariantList HMOutlookFolderQueries::taskComboBoxArray()
{
    static const FolderKind kind{"task folder", "tasks in task folder", "All Task Folders", true};
    return folderList(kind, taskFoldersDictionary, nullptr);
}

QVariantList HMOutlookFolderQueries::memosComboBoxArray()
{
    if (m_configuration.isGoogleDirect)
        return {};
    static const FolderKind kind{"note folder", "notes in note folder", "All Note Folders", true};
    return folderList(kind, memoFoldersDictionary, nullptr);
}

QVariantMap HMOutlookFolderQueries::nameToIdMap(const FolderKind &kind) const
{
    QVariantMap map{{QLatin1String(kind.allLabel), kAllFolders}};
    const QString application = reference();
    const std::optional<NSAppleEventDescriptor> reply = run(
        kTell.arg(application)
        + QStringLiteral("set theFolders to the properties of every %1 of application \"%2\"\nreturn theFolders\nend tell")
              .arg(QLatin1String(kind.folderClass), application));
    for (qint64 i = 1; reply && i <= reply->numberOfItems(); ++i) {
        const NSAppleEventDescriptor record = reply->descriptorAtIndex(i);
        const QString name = record.descriptorForKeyword(fourCharCode("pnam")).stringValue();
        const QString id = record.descriptorForKeyword(fourCharCode("ID  ")).stringValue();
        if (!name.isEmpty() && !id.isEmpty())
            map.insert(name, id);
    }
    return map;
}

QVariantMap HMOutlookFolderQueries::outlookCalendarFoldersDictionary()
{
    return nameToIdMap({"calendar", "", "All Calendar Folders", true});
}

QVariantMap HMOutlookFolderQueries::outlookTaskFoldersDictionary()
{
    return nameToIdMap({"task folder", "", "All Task Folders", true});
}
