#pragma once

// The fixture of the Google contact syncs end to end: the sync driver as a program between the
// simulated Outlook and the Google peer, both programs of their own, with the helpers that seed and
// read both sides.
#include "GooglePeerProcess.h"
#include "OutlookPeerProcess.h"

#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

inline QJsonObject outlookSeed(const QJsonArray &contacts)
{
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    };
    return {{"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                   folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}}}},
            {"contacts", contacts}};
}

inline QJsonObject simpleOutlookContact(int id, const QString &first, const QString &last)
{
    return {{"id", id},          {"folder", 1},     {"created", "2026-01-01T00:00:00Z"},
            {"modified", "2026-01-02T00:00:00Z"}, {"firstName", first}, {"lastName", last},
            {"emails", QJsonArray{QJsonObject{{"kind", "work"}, {"address", last.toLower() + "@o.example"}}}}};
}

// An entry as a person's client would send it to Google, with a work address.
inline QByteArray googleEntry(const QString &given, const QString &family, const QString &extra = {})
{
    return googleContactEntry(
        given, family,
        QStringLiteral("<gd:email rel='http://schemas.google.com/g/2005#work' address='%1@g.example'/>%2")
            .arg(family.toLower(), extra));
}

using DriverRun = GoogleDriverRun;

class ContactSync
{
public:
    ContactSync()
    {
        OutlookPeerProcess::Options options;
        options.folder = m_root.path();
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(m_outlook->isReady());
        m_google = std::make_unique<GooglePeerProcess>(m_root.filePath("google"), QStringLiteral(HM_GOOGLE_PEER_PATH));
        EXPECT_GT(m_google->port, 0);
        writeTokens(home(), "1//rt");
    }
    QString home() const { return m_outlook->home(); }
    OutlookPeerProcess &outlook() { return *m_outlook; }
    GooglePeerProcess &google() { return *m_google; }

    // Makes the profile (two-way contacts, deletions both ways) without syncing.
    void makeProfile(const std::function<void(HMProfile &)> &edit = {})
    {
        ASSERT_EQ(run({"--no-sync"}).exitCode, 0);
        qputenv("XDG_DATA_HOME", (home() + "/data").toLocal8Bit());
        HMProfileManager manager;
        const auto profiles = manager.loadProfiles();
        ASSERT_TRUE(profiles && !profiles->isEmpty());
        HMProfile &profile = *profiles->first();
        profile.setContactSyncEnabled(true);
        if (edit)
            edit(profile);
        ASSERT_TRUE(manager.saveProfile(profile));
    }
    // The driver started, not waited for.
    void start(QProcess &driver, const QStringList &more = {}, const QMap<QString, QString> &extra = {})
    {
        startGoogleDriver(driver, googleRunEnvironment(home(), m_outlook->runtimeDir(), *m_google, "UTC"), home(), kEmail,
                          kTimeLimitSeconds, more, extra);
    }
    DriverRun run(const QStringList &more = {}, const QMap<QString, QString> &extra = {})
    {
        QProcess driver;
        start(driver, more, extra);
        return finishGoogleDriver(driver, kTimeLimitSeconds);
    }
    static constexpr int kTimeLimitSeconds = 120;
    bool sync()
    {
        return endedCleanly(runAfterOutlooksSecond([this] { return run(); }));
    }

    // Google's contacts that are not deleted, by id.
    qsizetype googleContactCount() const { return googleContacts().size(); }
    QJsonObject googleContacts() const
    {
        const QJsonObject all = QJsonDocument::fromJson(m_google->control("/peer/dump"))
                                    .object()["accounts"].toObject()[kEmail].toObject()["contacts"].toObject();
        QJsonObject alive;
        for (auto it = all.begin(); it != all.end(); ++it) {
            if (!it.value().toObject()["deleted"].toBool())
                alive.insert(it.key(), it.value());
        }
        return alive;
    }
    QJsonArray googleGroups() const
    {
        return QJsonDocument::fromJson(m_google->control("/peer/dump")).object()["accounts"].toObject()[kEmail].toObject()["groups"].toArray();
    }
    QJsonArray outlookContacts() const { return m_outlook->dump().value("contacts").toArray(); }
    QString googleUser(const char *action, const QString &id, const QByteArray &body) const
    {
        return m_google->userContact(action, id, body);
    }
    void googleSwitch(const QJsonObject &change) const { m_google->control("/peer/switch", change); }

    // Every name once in Outlook and once on Google; the names are the family names.
    void expectEveryContactOnceOnEachSide(const QStringList &names) const
    {
        QHash<QString, int> inOutlook;
        for (const QJsonValue &contact : outlookContacts())
            ++inOutlook[contact.toObject()["lastName"].toString()];
        QHash<QString, int> onGoogle;
        const QJsonObject google = googleContacts();
        for (auto it = google.begin(); it != google.end(); ++it) {
            const QString body = it.value().toObject()["body"].toString();
            const qsizetype start = body.indexOf("<gd:familyName>") + 15;
            ++onGoogle[body.mid(start, body.indexOf("</gd:familyName>") - start)];
        }
        for (const QString &name : names) {
            EXPECT_EQ(inOutlook.value(name), 1) << "Outlook " << name.toStdString();
            EXPECT_EQ(onGoogle.value(name), 1) << "Google " << name.toStdString();
        }
        EXPECT_EQ(inOutlook.size(), names.size());
        EXPECT_EQ(onGoogle.size(), names.size());
    }

private:
    QTemporaryDir m_root;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<GooglePeerProcess> m_google;
};
