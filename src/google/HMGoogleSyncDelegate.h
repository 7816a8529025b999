#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// How the driver reports to the run. Every call arrives on the run's serial queue. A list callback
// carries the Google list date of what it holds: the run writes it into the Outlook id map only once
// every record of the callback is in Outlook, so a run that ends in between reads the page again.
class HMGoogleSyncDelegate
{
public:
    virtual ~HMGoogleSyncDelegate() = default;

    virtual void syncDriverContactListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                      const QStringList &deletions,
                                                                      bool remainOnConduit,
                                                                      const QDateTime &listDate) = 0;
    virtual void syncDriverContactPhotosCommandReturned() = 0;
    virtual void syncDriverEventListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                    const QDateTime &listDate) = 0;
    virtual void syncDriverTaskListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                   const QStringList &deletions,
                                                                   const QDateTime &listDate) = 0;
    virtual void endSync() = 0;
    virtual void endConduit() = 0;
    virtual void endSyncWithError(const QString &message) = 0;
    virtual void syncDriverUpdateCommandReturnedSuccessful(bool successful) = 0;
    virtual void syncDriverWriteRemainOnCurrentConduit(bool remain) = 0;
};

// How the run hands the account's calendars, e-mail address and picture to the Google sign-in sheet.
// Called on the thread that asked (the sheet's worker thread).
class GoogleSyncControllerDelegate
{
public:
    virtual ~GoogleSyncControllerDelegate() = default;

    virtual void googleSyncControllerReturnedWithCalendarList(const QVariantList &calendars) = 0;
    virtual void googleSyncControllerReturnedWithUserName(const QString &userName) = 0;
    // The picture's bytes as the server sent them (an image file).
    virtual void googleSyncControllerReturnedWithUserImage(const QByteArray &image) = 0;
};
