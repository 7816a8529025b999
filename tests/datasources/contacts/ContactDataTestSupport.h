#pragma once

#include "AddressBookTestSupport.h"

#include "datasources/contacts/HMContactData.h"
#include "platform/foundation/Clock.h"

#include <QDateTime>
#include <QVariantMap>

#include <memory>

class HMIdentifierGraph;
namespace platform {
class ABAddressBook;
class ABPerson;
} // namespace platform

// Fixes the process clock while it lives.
class FixedClock final
{
public:
    explicit FixedClock(const QDateTime &moment) { set(moment); }
    ~FixedClock() { platform::Clock::setSource({}); }
    void set(const QDateTime &moment)
    {
        platform::Clock::setSource([moment] { return moment; });
    }
};

// A contacts data source over a vCard folder of its own, with an identifier graph, as the sync
// engine makes one for a run of an Apple profile.
class ContactsFixture final
{
public:
    ContactsFixture();
    ~ContactsFixture();

    StoreFolder &folder() { return m_folder; }
    HMContactData &data() { return *m_data; }
    HMIdentifierGraph &graph() { return *m_graph; }
    // A new data source over the same graph (the next run's).
    void startNewRun();
    // One step of the engine: open, apply the records, save, close; answers the results.
    QList<qint64> applyStep(const QList<QVariantMap> &records, quint64 conflictSetting, qint64 timeDifference = 0);
    // The listing step: open, list, close.
    QList<HMSyncRecord> listStep(const QDateTime &after, bool includeDeletes, const QSet<QString> &excluded = {});
    // The phone's answer to the listed adds: each temporary id becomes the phone's own "phone-<id>".
    void confirmAdds();
    // A person written by another program through the address book, saved at once.
    std::shared_ptr<platform::ABPerson> addDesktopPerson(const QString &firstName, const QString &lastName);
    // The person the identifier graph joins to the hmUid, read from the folder now.
    std::shared_ptr<platform::ABPerson> personOf(const QString &hmUid);

private:
    StoreFolder m_folder;
    std::shared_ptr<HMIdentifierGraph> m_graph;
    std::shared_ptr<HMContactData> m_data;
    std::shared_ptr<platform::ABAddressBook> m_lastBook;
};

// The local date-time text records carry in "LASTMODIFIED".
QString localDateTimeText(const QDateTime &date);
