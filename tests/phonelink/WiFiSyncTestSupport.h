#pragma once

#include "phonelink/HMWiFiSync.h"
#include "sync/HMSyncClientDelegate.h"

#include "PhonePeer.h"

#include <gtest/gtest.h>

#include <QList>
#include <QProcessEnvironment>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>

// A transport delegate that writes down every callback it gets, in order, from any thread.
class RecordingSyncDelegate final : public HMSyncClientDelegate
{
public:
    struct Error
    {
        quint64 code = 0;
        QString message;
    };

    void logonCommandReturned(bool wasSuccessful, const QVariantMap &reply) override;
    void logoffCommandReturned(bool wasSuccessful) override;
    void purgeCommandReturned(bool wasSuccessful) override;
    void setIdsForNonDeletedWiFiRecords(const QStringList &recordIds, const QString &conduitLetter) override;
    void idListCommandReturnedWithDictionaries(const QStringList &deviceIds) override;
    void idListCommandFinishedSuccessful(bool wasSuccessful) override;
    void listCommandReturnedWithDictionaries(const QList<QVariantMap> &records) override;
    void listCommandFinishedSuccessful(bool wasSuccessful) override;
    void writeRemainOnCurrentConduit(bool remain) override;
    void writeRemainOnUpdateConduit(bool remain) override;
    void updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit) override;
    void updateCommandReturnedSuccessful(bool wasSuccessful) override;
    void updateTempWiFiId(const QString &temporaryId, const QString &permanentId) override;
    void commandErroredStopProcessing() override;
    void commandWasForceCancelled() override;
    void didErrorWithError(quint64 errorCode, const QString &errorMessage) override;
    bool contentsAboutToBeSentForConduit(const QMap<QString, QString> &contentById, quint64 conduit) override;

    // The ending callbacks ("logon:1", "listFinished:0", "stop", ...) in order of arrival.
    QStringList endings() const;
    // How many of the endings are exactly this one.
    qsizetype count(const QString &ending) const;
    // Waits (pumping the event loop) until the ending has arrived; false after the deadline.
    bool waitFor(const QString &ending) const;
    QList<Error> errors() const;
    QVariantMap logonReply() const;
    QStringList ids() const;
    QStringList idRows() const;
    // The content hashes of every batch about to be sent, by the ids the records went under.
    QMap<QString, QString> sentContents() const;
    QList<QVariantMap> listedRecords() const;
    QList<QVariantMap> updateIds() const;
    QList<bool> remainOnUpdate() const;
    bool remainOnList() const;
    void clear();

private:
    void note(const QString &ending);

    mutable std::mutex m_mutex;
    QStringList m_endings;
    QList<Error> m_errors;
    QVariantMap m_logonReply;
    QStringList m_ids;
    QStringList m_idRows;
    QList<QVariantMap> m_listed;
    QMap<QString, QString> m_sentContents;
    QList<QVariantMap> m_updateIds;
    QList<bool> m_remainOnUpdate;
    bool m_remainOnList = false;
};

// Short intervals for tests: no pause before logon, a connection window of a fraction of a second.
HMWiFiSync::Timing fastTiming();

// A phone peer on a loopback port of its own, and a transport set up to reach it.
class PeerHarness final
{
public:
    explicit PeerHarness(HMWiFiSync::Timing timing = fastTiming());
    ~PeerHarness();

    phonepeer::PhonePeer &peer() { return *m_peer; }
    HMWiFiSync &sync() { return *m_sync; }
    RecordingSyncDelegate &delegate() { return m_delegate; }
    // Logs on and waits for the reply; false when it does not come or is not a success.
    bool logOn();
    // Stops the peer: later requests find no server.
    void stopPeer() { m_peer->stop(); }
    // Destroys the transport; sync() must not be called afterwards.
    void destroySync() { m_sync.reset(); }

private:
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    RecordingSyncDelegate m_delegate;
    std::unique_ptr<HMWiFiSync> m_sync;
};

// Prepares the process for the transport: the application object of the network thread, and the
// user-defaults and data folders in a temporary folder.
void preparePhoneLinkTests();

class QProcess;

// A phone peer answering on a loopback port (0: any free one), keeping its records in the file when one
// is named; a failure to start fails the test.
std::unique_ptr<phonepeer::PhonePeer> startPhonePeer(int port, const QString &dataFile = {});

// The sync driver program (hm_sync_once) as a child process whose home folders are the given folder;
// with shellPrefix, started through "sh -c" behind that text (limits set with ulimit, for instance).
std::unique_ptr<QProcess> startSyncDriver(const QString &home, const QStringList &arguments,
                                          const QString &shellPrefix = {});
// Runs the sync driver to its end, within the time: success when it exits with 0, else its output.
::testing::AssertionResult runSyncDriverToEnd(const QString &home, const QStringList &arguments, int limitMs);
// The driver's arguments for a sync with the peer over the desktop's folder stores: its profile made
// when missing, no pause before the logon.
QStringList folderStoreDriverArguments(const phonepeer::PhonePeer &peer, const QString &contactsFolder,
                                       const QString &calendarsFolder);

class HMProfile;
class HMProfileManager;

// Makes the controller reach the phone peer's port over the Wi-Fi transport, with fast timings.
void registerLoopbackTransport(int port, double commandTimeoutSeconds);
// A new Apple Wi-Fi profile for the phone of the id on loopback, with every conduit off.
std::shared_ptr<HMProfile> newLoopbackProfile(HMProfileManager &manager, const QString &deviceId);
// A phone record's fields from key and value pairs.
QMap<QString, QString> phoneFields(std::initializer_list<std::pair<const char *, QString>> fields);

// The environment of a driver program with its own home folder (and so its own data, settings and
// logs), plus the entries given.
QProcessEnvironment driverEnvironment(const QString &home, const QMap<QString, QString> &extra = {});
// Starts the sync driver with the arguments, kills it (SIGKILL) once the condition holds or it ended
// on its own, then runs it again to its end; the test fails when the second run fails.
void killDriverAndResume(const QString &home, const QStringList &arguments, const std::function<bool()> &killWhen,
                         const QMap<QString, QString> &extraEnvironment = {});
