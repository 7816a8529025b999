#pragma once

#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookConduit.h"
#include "sync/HMData.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The id-map operations of the sync engine that an Outlook data source hands to its HMOutlookConduit
// as they come, over the data source's base class (HMData or a class derived from it). The data source
// gives the conduit of its run; everything else of the Outlook road stays its own. Outside an Outlook
// sync only the temporary id moves and nothing is committed: the conduit is not asked for.
template <class Base>
class HMOutlookConduitForwards : public Base
{
public:
    using Base::Base;

    QDateTime getOutlookLastModifiedDate() override { return outlookConduit().lastModifiedDate(); }
    void clearOutlookDatFile(const QString &) override { outlookConduit().clearMap(); }
    void saveOutlookChanges() override { outlookConduit().saveChanges(); }
    void writeConduitListReturned() override { outlookConduit().listCommandReturned(); }
    QStringList findDeletes(const QStringList &deviceIds) override { return outlookConduit().findDeletes(deviceIds); }
    void replaceTempId(const QString &temporaryId, const QString &permanentId) override
    {
        if (GlobalVariables::getIsOutlookSync())
            outlookConduit().replaceTempId(*this, temporaryId, permanentId);
        else
            HMData::replaceTempId(temporaryId, permanentId);
    }
    void commitUniqueIds(bool wasSuccessful) override
    {
        if (GlobalVariables::getIsOutlookSync())
            outlookConduit().commitUniqueIds(*this, wasSuccessful);
    }
    QString outlookSentAddsPath() override { return outlookConduit().sentAddsPath(); }
    QHash<QString, QString> outlookPairs() override { return outlookConduit().pairs(); }
    bool keepOutlookPairs(const QVariantMap &pairs) override { return outlookConduit().keepPairs(pairs); }
    bool forgetOutlookPairs(const QStringList &deviceIds) override { return outlookConduit().forgetPairs(deviceIds); }

protected:
    // The conduit of this run, made at the first need.
    virtual HMOutlookConduit &outlookConduit() = 0;
};
