#pragma once

// The Google peer in process and the run's side of a driver, for the in-process driver tests.
#include "GooglePeer.h"
#include "TestCertificates.h"

#include "google/HMGoogleSyncDelegate.h"
#include "platform/restkit/RKClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

// The peer in process over a test CA of its own; the account me@example.com holds the access token
// "ya29.a/b" and three calendars of its own.
struct PeerFixture
{
    PeerFixture()
    {
        QString error;
        EXPECT_TRUE(peertls::makeTestCertificates(folder.path(), {}, certificates, error)) << error.toStdString();
        peer = std::make_unique<googlepeer::GooglePeer>(
            googlepeer::Options{folder.filePath("state.json"), certificates.certFile, certificates.keyFile, 0});
        EXPECT_TRUE(peer->start(error)) << error.toStdString();
        const QJsonObject calendars[] = {
            {{"id", "me@example.com"}, {"summary", "Me"}, {"accessRole", "owner"}, {"primary", true},
             {"timeZone", "Europe/Berlin"}, {"foregroundColor", "#000000"}},
            {{"id", "team@group.calendar.google.com"}, {"summary", "Team"}, {"accessRole", "reader"}},
            {{"id", "noname@group.calendar.google.com"}, {"accessRole", "writer"}}};
        QJsonArray list;
        for (const QJsonObject &calendar : calendars)
            list.append(calendar);
        EXPECT_TRUE(peer->seed(QJsonObject{{"accounts", QJsonObject{{"me@example.com",
                                                                      QJsonObject{{"refreshToken", "1//rt"},
                                                                                  {"accessTokens", QJsonArray{"ya29.a/b"}},
                                                                                  {"calendars", list}}}}}},
                               error));
        qputenv("HM_GOOGLE_API_HOST", peer->baseUrl().toLatin1());
        platform::RKClient::setDefaultExtraCACertificatesFile(certificates.caFile);
    }
    ~PeerFixture()
    {
        platform::RKClient::setDefaultExtraCACertificatesFile(QString());
        qunsetenv("HM_GOOGLE_API_HOST");
    }
    QTemporaryDir folder;
    peertls::CertificateFiles certificates;
    std::unique_ptr<googlepeer::GooglePeer> peer;
};

// The run's side of the driver: each list callback and the end, from any thread.
class RecordingRun final : public HMGoogleSyncDelegate
{
public:
    void syncDriverContactListCommandReturnedWithDictionaries(const QList<QVariantMap> &records, const QStringList &deletions,
                                                              bool remain, const QDateTime &date) override
    {
        const std::lock_guard lock(mutex);
        pages << QStringLiteral("%1 %2 %3 %4").arg(records.size()).arg(deletions.size()).arg(remain).arg(date.isValid());
    }
    void syncDriverContactPhotosCommandReturned() override {}
    void syncDriverEventListCommandReturnedWithDictionaries(const QList<QVariantMap> &, const QDateTime &) override {}
    void syncDriverTaskListCommandReturnedWithDictionaries(const QList<QVariantMap> &records, const QStringList &deletions,
                                                           const QDateTime &date) override
    {
        const std::lock_guard lock(mutex);
        taskRecords = records;
        taskDeletions = deletions;
        taskListDate = date;
        ++taskCalls;
    }
    void endSync() override {}
    void endConduit() override
    {
        const std::lock_guard lock(mutex);
        ++conduitEnds;
    }
    void endSyncWithError(const QString &message) override
    {
        const std::lock_guard lock(mutex);
        errors << message;
    }
    void syncDriverUpdateCommandReturnedSuccessful(bool) override
    {
        const std::lock_guard lock(mutex);
        ++conduitEnds;
    }
    void syncDriverWriteRemainOnCurrentConduit(bool) override {}

    std::mutex mutex;
    QStringList pages;
    QStringList errors;
    QList<QVariantMap> taskRecords;
    QStringList taskDeletions;
    QDateTime taskListDate;
    int taskCalls = 0;
    int conduitEnds = 0;
};

