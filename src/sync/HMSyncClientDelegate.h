#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtGlobal>

#include <optional>

// The key under which a transport gives a listed record the hash of its content as the other side
// lists it, made as the hash of what the client sent: a record the client itself wrote, listed back
// unchanged, has the hash it was sent with.
inline const QString kHMListedContentKey = QStringLiteral("kHMListedContent");

// The callbacks by which a transport (HMSyncClient) reports replies, progress, state changes and
// errors. The sync controller implements them; the main window implements only
// autosyncLogonCommandReturned. Transports call them from their own threads: the implementation moves
// its work where it belongs. Every callback has an empty default body.
class HMSyncClientDelegate
{
public:
    virtual ~HMSyncClientDelegate() = default;

    virtual void autosyncLogonCommandReturned(bool wasSuccessful, const QVariantMap &reply)
    {
        Q_UNUSED(wasSuccessful);
        Q_UNUSED(reply);
    }
    virtual void logonCommandReturned(bool wasSuccessful, const QVariantMap &reply)
    {
        Q_UNUSED(wasSuccessful);
        Q_UNUSED(reply);
    }
    // Must not be called from the run queue: the controller waits for that queue.
    virtual void logoffCommandReturned(bool wasSuccessful) { Q_UNUSED(wasSuccessful); }
    virtual void purgeCommandReturned(bool wasSuccessful) { Q_UNUSED(wasSuccessful); }
    // The ids of the records still on the other side; letter "A", "D", "T" or "M".
    virtual void setIdsForNonDeletedWiFiRecords(const QStringList &recordIds, const QString &conduitLetter)
    {
        Q_UNUSED(recordIds);
        Q_UNUSED(conduitLetter);
    }
    // The id list's rows as their ids (each row's UID, in order; an empty text for a row without
    // one): a receiver reads nothing else of them, and a phone's whole list would be held at once.
    virtual void idListCommandReturnedWithDictionaries(const QStringList &deviceIds) { Q_UNUSED(deviceIds); }
    virtual void idListCommandFinishedSuccessful(bool wasSuccessful) { Q_UNUSED(wasSuccessful); }
    virtual void picturesDictionaryUpdated() {}
    virtual void setReceivingPhotosStatus(bool isReceiving) { Q_UNUSED(isReceiving); }
    virtual void listCommandReturnedWithDictionaries(const QList<QVariantMap> &records) { Q_UNUSED(records); }
    virtual void listCommandFinishedSuccessful(bool wasSuccessful) { Q_UNUSED(wasSuccessful); }
    // More list pages follow for the current conduit.
    virtual void writeRemainOnCurrentConduit(bool remain) { Q_UNUSED(remain); }
    // More update batches follow for the current conduit.
    virtual void writeRemainOnUpdateConduit(bool remain) { Q_UNUSED(remain); }
    virtual void writeUpdatePhotosStage(bool photosStage) { Q_UNUSED(photosStage); }
    virtual bool returnUpdatePhotosStage() { return false; }
    virtual void updateCommandReturnedWithDetailedDictionaries(const QList<QVariantMap> &results)
    {
        Q_UNUSED(results);
    }
    // Temporary id to the id the other side assigned.
    virtual void updateCommandReturnedWithDictionary(const QVariantMap &ids) { Q_UNUSED(ids); }
    virtual void updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit)
    {
        Q_UNUSED(ids);
        Q_UNUSED(conduit);
    }
    // What a batch is about to send, by the ids its records go under (a new record's temporary id): a
    // hash of each record's content as sent (see kHMListedContentKey). Reported, and kept by the
    // receiver where a killed run cannot lose it, before the batch goes: the other side may take the
    // batch and list it back at a later sync even when its answer never arrives. The batch's ids,
    // which come after, carry the hashes to the other side's ids. False: it could not be kept, and
    // the batch must not go.
    virtual bool contentsAboutToBeSentForConduit(const QMap<QString, QString> &contentById, quint64 conduit)
    {
        Q_UNUSED(contentById);
        Q_UNUSED(conduit);
        return true;
    }
    // Once per conduit, after its last batch.
    virtual void updateCommandReturnedSuccessful(bool wasSuccessful) { Q_UNUSED(wasSuccessful); }
    // A step text "<text> <count>"; a negative count shows the text alone.
    virtual void postCustomNotification(const QString &text, qint64 recordCount)
    {
        Q_UNUSED(text);
        Q_UNUSED(recordCount);
    }
    virtual void updateTempWiFiId(const QString &temporaryId, const QString &permanentId)
    {
        Q_UNUSED(temporaryId);
        Q_UNUSED(permanentId);
    }
    // Ends the run in error; a transport first tells didErrorWithError why.
    virtual void commandErroredStopProcessing() {}
    virtual void commandWasForceCancelled() {}
    virtual void didStartConnecting() {}
    virtual void didStartSending() {}
    virtual void didFinishSending() {}
    virtual void didStartReceiving() {}
    virtual void didFinishReceiving() {}
    // Records the error of the run: a code (1 cancelled, 2 force cancelled, 3 timeout, 4 no network,
    // 5 invalid profile, 6 other, 8 invalid user name or password) and a text for the user, or a
    // null text to take the code's own.
    virtual void didErrorWithError(quint64 errorCode, const QString &errorMessage)
    {
        Q_UNUSED(errorCode);
        Q_UNUSED(errorMessage);
    }
    virtual void postOverallSyncNotificationWithMessage(const QString &message, double progress)
    {
        Q_UNUSED(message);
        Q_UNUSED(progress);
    }
    virtual void postStateChangeNotificationWithMessage(const QString &message) { Q_UNUSED(message); }
    virtual void postStepNotificationWithMessage(const QString &message, std::optional<double> progress)
    {
        Q_UNUSED(message);
        Q_UNUSED(progress);
    }
    // The conduit the transport is working on.
    virtual void writeCurrentConduit(quint64 conduit) { Q_UNUSED(conduit); }
};
