#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/CNContactStore.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "sync/HMDataConfigurationSource.h"

HMContactData::HMContactData() = default;

HMContactData::~HMContactData()
{
    removeLeftOutlookVCard();
}

void HMContactData::registerDataSourceClass()
{
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMContactData"),
                                                       [] { return std::make_shared<HMContactData>(); });
}

std::shared_ptr<platform::ABAddressBook> HMContactData::addressBook()
{
    if (!GlobalVariables::getIsContactManagerApple())
        return nullptr;
    const std::lock_guard lock(m_addressBookMutex);
    if (m_addressBook)
        return m_addressBook;
    // The last step's book, unless the user chose another folder or the folder can no longer be
    // listed: then a new book finds out what is wrong.
    const std::shared_ptr<platform::ABAddressBook> resting = std::move(m_restingAddressBook);
    if (resting && resting->isOnCurrentFolder() && resting->refresh())
        m_addressBook = resting;
    else
        m_addressBook = platform::ABAddressBook::addressBook();
    return m_addressBook;
}

void HMContactData::cleanUpAfterSync()
{
    m_duplicateIndex = ContactDuplicateIndex();
    const std::lock_guard lock(m_addressBookMutex);
    m_restingAddressBook.reset();
}

// The stage's writes reach the folder's index once, here, rather than at every page: the whole index
// is rewritten each time, so a write per page would cost the store once per page. A run killed
// before this only has the next one read the files written since the index was last saved.
void HMContactData::conduitStageDidEnd()
{
    // The other conduits' stages do not hold the duplicate tests' index either.
    m_duplicateIndex = ContactDuplicateIndex();
    const std::lock_guard lock(m_addressBookMutex);
    if (m_restingAddressBook)
        m_restingAddressBook->rest();
}

void HMContactData::prepareForUseOnThread()
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Opening Contacts..."));
    if (!GlobalVariables::getIsOutlookSync())
        openNativeAddressBook();
}

void HMContactData::openNativeAddressBook()
{
    // The answer only goes to the console: opening the book below finds out for itself.
    platform::CNContactStore().requestAccessForEntityType(
        platform::CNEntityType::CNEntityTypeContacts, [](bool granted, const QString &errorDescription) {
            platform::consoleLog(QStringLiteral("granted %1").arg(granted ? 1 : 0));
            platform::consoleLog(QStringLiteral("error %1").arg(errorDescription));
            platform::consoleLog(QString());
        });
    bool isAlreadyOpen = false;
    {
        const std::lock_guard lock(m_addressBookMutex);
        isAlreadyOpen = m_addressBook != nullptr;
    }
    if (isAlreadyOpen)
        DDLogWarn(QStringLiteral("WARNING: Native Address Book Already Open"));
    DDLogInfo(QStringLiteral("Opening Native Address Book...."));
    if (!addressBook()) {
        DDLogInfo(QStringLiteral("Failed to load the native address book."));
        (void)platform::DistributedNotificationCenter::defaultCenter().postNotificationName(
            QStringLiteral("kHMAddressBookInaccessible"));
        m_addressBookIsInaccessible = true;
        stopUsingOnThread();
    } else {
        DDLogInfo(QStringLiteral("Loaded the native address book."));
        logUnreadableFiles();
    }
    DDLogInfo(QStringLiteral("Resetting Groups List"));
    m_addressBookGroups.clear();
}

void HMContactData::logUnreadableFiles()
{
    const std::shared_ptr<platform::ABAddressBook> book = addressBook();
    if (!book)
        return;
    const QHash<QString, QString> &unreadable = book->unreadableRecords();
    for (auto it = unreadable.constBegin(); it != unreadable.constEnd(); ++it)
        DDLogError(QStringLiteral("Skipping a contact file of '%1': %2").arg(it.key(), it.value()));
}

void HMContactData::stopUsingOnThread()
{
    closeNativeAddressBook();
}

void HMContactData::closeNativeAddressBook()
{
    std::shared_ptr<platform::ABAddressBook> book;
    {
        const std::lock_guard lock(m_addressBookMutex);
        book = std::move(m_addressBook);
    }
    if (!book)
        return;
    // Unsaved changes are dropped with the instance, not saved; the next page lists another book.
    if (book->hasUnsavedChanges()) {
        m_duplicateIndex = ContactDuplicateIndex();
        DDLogWarn(QStringLiteral("WARNING: Apple Contacts Has Unsaved Changes."));
        return;
    }
    // Between steps the book holds nothing of the folder's texts: the next step takes them back from
    // the folder's index. A book whose saves the index lacks keeps showing the folder instead until
    // the stage moves on from contacts (conduitStageDidEnd): resting would rewrite the whole index
    // after every page the stage writes. The duplicate tests' index stays with a book that keeps
    // showing the folder, and goes with one that rests: that one shows the folder anew next time.
    if (!book->hasUnindexedSaves()) {
        m_duplicateIndex = ContactDuplicateIndex();
        book->rest();
    }
    const std::lock_guard lock(m_addressBookMutex);
    m_restingAddressBook = std::move(book);
}
