#include "ContactDataTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"
#include "sync/HMIdentifierGraph.h"

ContactsFixture::ContactsFixture() : m_graph(std::make_shared<HMIdentifierGraph>())
{
    GlobalVariables::setIsContactManagerApple(true);
    GlobalVariables::setIsOutlookSync(false);
    startNewRun();
}

ContactsFixture::~ContactsFixture()
{
    GlobalVariables::setIsContactManagerApple(false);
}

void ContactsFixture::startNewRun()
{
    m_data = std::make_shared<HMContactData>();
    m_data->setIdentifierGraph(m_graph);
}

QList<qint64> ContactsFixture::applyStep(const QList<QVariantMap> &records, quint64 conflictSetting,
                                         qint64 timeDifference)
{
    QList<qint64> results;
    m_data->prepareForUseOnThread();
    for (const QVariantMap &record : records)
        results.append(m_data->commandAction(0, 1, conflictSetting, record, timeDifference));
    m_data->saveChanges();
    m_data->stopUsingOnThread();
    return results;
}

QList<HMSyncRecord> ContactsFixture::listStep(const QDateTime &after, bool includeDeletes, const QSet<QString> &excluded)
{
    m_data->prepareForUseOnThread();
    const std::optional<QList<HMSyncRecord>> records = m_data->syncRecordObjectsModifiedAfter(after, includeDeletes, excluded);
    m_data->stopUsingOnThread();
    return records.value_or(QList<HMSyncRecord>());
}

void ContactsFixture::confirmAdds()
{
    QVariantMap answers;
    for (const QString &temporaryId : m_data->recordsAddedToDevice())
        answers.insert(temporaryId, QStringLiteral("phone-") + temporaryId);
    m_data->updateUidToDeviceIdsUsingNewMethod(answers);
}

std::shared_ptr<platform::ABPerson> ContactsFixture::addDesktopPerson(const QString &firstName, const QString &lastName)
{
    const std::shared_ptr<platform::ABAddressBook> book = platform::ABAddressBook::addressBook();
    const std::shared_ptr<platform::ABPerson> person = platform::ABPerson::initWithAddressBook(book);
    (void)person->setValue(firstName, platform::kABFirstNameProperty);
    (void)person->setValue(lastName, platform::kABLastNameProperty);
    (void)book->save();
    return person;
}

std::shared_ptr<platform::ABPerson> ContactsFixture::personOf(const QString &hmUid)
{
    const QString nativeId = m_graph->nativeIdForHarrowmereUid(hmUid);
    // The book stays open with the fixture, so the person can still name its groups.
    m_lastBook = platform::ABAddressBook::addressBook();
    return m_lastBook ? std::dynamic_pointer_cast<platform::ABPerson>(m_lastBook->recordForUniqueId(nativeId)) : nullptr;
}

QString localDateTimeText(const QDateTime &date)
{
    return date.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}
