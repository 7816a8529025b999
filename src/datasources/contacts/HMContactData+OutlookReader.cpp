// The contacts data source over Outlook: the contacts changed since the last sync read as sync
// records, Outlook's deletions found through the contact map, and the map kept in step once the
// other side has taken the records.
//
// The contact map is kept by the shared Outlook conduit bookkeeping (HMOutlookConduit): pairs the other
// side confirmed are kept aside as they arrive and merged into the map with one write at the commit, or
// by the next run when this one was killed first; the map's "LastModified" moves only with that commit,
// to when the read began.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMProfile.h"

#include <QLocale>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;

namespace {

// The contact crash tests name every write of the map a commit: pairs merged outside the sync's commit
// count as one.
void reachContactStep(HMContactData::OutlookStep step)
{
    callOutlookStepHook<HMContactData>(
        step == HMContactData::OutlookStep::PairsMerged ? HMContactData::OutlookStep::MapCommitted : step);
}

void showProgress(const std::shared_ptr<HMSyncProgressReporting> &sheet, const QString &text)
{
    if (sheet)
        sheet->setUserMessageDirectly(text);
}

// The contacts' listing: vCard texts and the progress texts of the contacts' read.
HMOutlookConduit::ListingTexts contactListingTexts()
{
    HMOutlookConduit::ListingTexts texts;
    texts.excluding = QStringLiteral("Reading Outlook contacts");
    texts.excludingFrom = 2;
    texts.scanning = QStringLiteral("Scanning contact %1");
    texts.scanned = {QStringLiteral("Scanning Outlook contacts for changes ..."),
                     QStringLiteral("Getting list of modified records")};
    texts.reading = QStringLiteral("Reading modified records %1");
    texts.sending = QStringLiteral("Reading %1 of %2 Outlook Contacts");
    texts.searching = QStringLiteral("Cleaning up ...");
    texts.found = QStringLiteral("Found contact deletion %1");
    return texts;
}

// Whether Outlook keeps its contacts in the 2016 layout, whose database has a row per contact with
// its modification time: the profile is set up for it and the Outlook answering is not 2011's.
bool isOutlook2016Layout()
{
    const QString version = GlobalVariables::getOutlookVersionNumber();
    return GlobalVariables::getOutlookVersionNumberInConfiguration() == u"15" &&
           (version.startsWith(QLatin1String("15")) || version.startsWith(QLatin1String("16")));
}

} // namespace

void HMContactData::setOutlookStepHook(std::function<void(OutlookStep)> hook)
{
    outlookStepHook<HMContactData>() = std::move(hook);
}

void HMContactData::setOutlookProfile(std::shared_ptr<HMProfile> profile)
{
    outlookContacts().setProfile(std::move(profile));
}

// A data source serves one run: the contact map is read once and kept, this run's reads answering the
// copy its own writes keep current. A run killed after the other side confirmed new contacts and
// before their commit left them aside: they join the map before anything reads it.
HMOutlookConduit &HMContactData::outlookContacts()
{
    if (!m_outlookContacts) {
        m_outlookContacts = std::make_unique<HMOutlookConduit>(HMOutlookDatFileHelper::Conduit::Contacts, QStringLiteral("contact"),
                                                               QStringLiteral("contact"), reachContactStep,
                                                               HMOutlookConduit::MapReads::OncePerRun);
        m_outlookContacts->setListing(HMOutlookConduit::TextForm::VCard, contactListingTexts());
    }
    return *m_outlookContacts;
}

void HMContactData::ensureOutlookHelpers()
{
    outlookContacts().ids();
}

HMOutlookSQLiteHelper &HMContactData::outlookReader()
{
    ensureOutlookHelpers();
    return outlookContacts().outlook();
}

HMOutlookDatFileHelper &HMContactData::contactMap()
{
    ensureOutlookHelpers();
    return outlookContacts().map();
}

QString HMContactData::outlookContactFolderSelection()
{
    const std::shared_ptr<HMProfile> &profile = outlookContacts().profile();
    return profile ? profile->outlookContactFolderSelection() : QString();
}

void HMContactData::useDefaultOutlookContactFolderIfNoneChosen()
{
    if (outlookContacts().profile() && outlookContactFolderSelection().isEmpty())
        outlookReader().setDefaultOutlookContactFolder();
}

QString HMContactData::saveFailure() const
{
    return m_outlookContacts && !m_outlookContacts->failure().isEmpty() ? m_outlookContacts->failure() : m_saveFailure;
}

// The controller calls this right after the read, before the records go out: after a read the dates
// wait for the commit; without one (the update left out) they are written at once; after a failed
// read never.

void HMContactData::failOutlookRead(const QString &reason)
{
    outlookContacts().failRead(reason);
}

std::optional<QList<HMSyncRecord>> HMContactData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    HMOutlookConduit &contacts = outlookContacts();
    // Outlook's dates are whole seconds and the map's date a second before the read began: the read
    // begins in a later second than this run's last write to Outlook, or that write would be read back.
    contacts.beginRead();
    useDefaultOutlookContactFolderIfNoneChosen();
    m_isGoogleDirect = GlobalVariables::getIsGoogleDirect();
    const std::optional<QStringList> changed = outlookContactIdsModifiedAfter(date);
    showProgress(GlobalVariables::getCurrentSyncProgressController(),
                 QStringLiteral("Scanning Outlook contacts for changes ..."));
    if (!changed) {
        failOutlookRead(QStringLiteral("Outlook's changed contacts could not be listed; nothing was sent."));
        return std::nullopt;
    }
    const bool keepsOutlookId = m_isGoogleDirect || GlobalVariables::getIsWiFiSync();
    const auto dictionary = [this](const QString &text, const QString &outlookId, const QString &deviceId) {
        m_currentContactsOutlookId = outlookId;
        m_currentContactsDeviceId = deviceId;
        ++m_logCounter;
        return pppDictionaryForOutlookContact(text);
    };
    return contacts.changedRecords(*this, *changed, excludedHmUids, QStringLiteral("theContacts"), keepsOutlookId,
                                   dictionary, includeDeletes,
                                   [this, &date] { return outlookContactsMayBeGone(date); });
}

// Outlook 2016's database holds a row per contact with its modification time. When no row is later
// than the date, the two listings of every contact's date and id (thousands of items each) would find
// nothing, and are left out; deletions are still looked for by the record-file count. Whatever is in
// doubt lists as always: a first sync, another version, a Google run, a database that cannot be read.
std::optional<QStringList> HMContactData::outlookContactIdsModifiedAfter(const QDateTime &date)
{
    if (date.isValid() && !m_isGoogleDirect && isOutlook2016Layout()) {
        const std::optional<qint64> changed = outlookReader().getCountOfOutlook15ContactsModifiedAfter(date);
        if (changed && *changed == 0) {
            DDLogInfo(QStringLiteral("No Outlook contact changed since %1: the contacts are not listed")
                          .arg(date.toString(Qt::ISODate)));
            return QStringList();
        }
    }
    return outlookReader().getListOfContactIdsModifiedAfter(date);
}

// Whether Outlook's contacts need comparing with the map: not when as many were made before the date as
// the map holds, less those this sync added to Outlook.
bool HMContactData::outlookContactsMayBeGone(const QDateTime &date)
{
    const qint64 createdBefore = GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14"))
        ? outlookReader().getCountOfOutlookContactsCreatedPriorTo(date)
        : outlookReader().getCountOfOutlook15ContactsCreatedPriorTo(date);
    const qsizetype mapped = contactMap().getAllOutlookContactIdsInDatFile().size();
    return createdBefore != mapped - m_contactsAddedToOutlookOnThisSync;
}

void HMContactData::removeDeletedOutlookIdsFromDatFile()
{
    outlookContacts().ids().removeDeletedOutlookIdsFromDatFile();
}

QStringList HMContactData::modifiedOutlookContactRecord(const QDateTime &date)
{
    const QString dateText = date.isValid()
        ? QLocale::system().toString(date.toLocalTime(), QStringLiteral("MMMM dd, yyyy 'at' hh:mm:ss AP"))
        : QStringLiteral("January 01, 1900 at 12:00:00 AM");
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    const QString selection = outlookContactFolderSelection();
    const bool inFolder = !selection.isEmpty() && selection != u"allFolders";
    if (inFolder && !HMOutlookSQLiteHelper::isDecimalId(selection))
        return {};
    const QString script = inFolder
        ? QStringLiteral("tell application \"%1\"\nget the properties of every contact in folder id %2 whose "
                         "modification date > (date \"%3\")\nend tell")
              .arg(application, selection, dateText)
        : QStringLiteral("tell application \"%1\"\nget the properties of every contact whose modification date > "
                         "(date \"%2\")\nend tell")
              .arg(application, dateText);
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError();
    QStringList texts;
    for (qint64 i = 1; i <= result.numberOfItems(); ++i)
        texts.append(result.descriptorAtIndex(i).descriptorForKeyword(platform::fourCharCode("vCrd")).stringValue());
    return texts;
}
