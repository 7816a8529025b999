#pragma once

#include "OutlookPeerProcess.h"

#include "foundation/GlobalVariables.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

#include <memory>

// The simulated Outlook the text tests of tasks and memos ask, run as a process with its home as ours:
// the four default folders and one more of the test's own, two categories.
class OutlookTextFixture : public ::testing::Test
{
protected:
    void startOutlook(const QJsonObject &extraFolder, const OutlookPeerProcess::Options &options = {})
    {
        for (const char *name : kHomeVariables)
            m_oldHome.append(qgetenv(name));
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        ASSERT_TRUE(m_outlook->isReady());
        m_outlook->seed(QJsonObject{
            {"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                   folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes"), extraFolder}},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}},
                                      QJsonObject{{"id", 6}, {"name", "Family"}, {"color", QJsonArray{0, 32768, 65535}}}}}});
        // The data folder under this case's home, whatever an earlier case of the program pointed the
        // XDG folders at: the maps of one case are never another's.
        qputenv("HOME", QFile::encodeName(m_outlook->home()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_outlook->home() + QStringLiteral("/.local/share")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_outlook->home() + QStringLiteral("/.config")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_outlook->home() + QStringLiteral("/.local/state")));
        GlobalVariables::setIsOutlookSync(true);
    }
    void TearDown() override
    {
        GlobalVariables::setCurrentProfileController(nullptr);
        GlobalVariables::setIsOutlookSync(false);
        for (qsizetype i = 0; i < m_oldHome.size(); ++i) {
            if (m_oldHome.at(i).isNull())
                qunsetenv(kHomeVariables[i]);
            else
                qputenv(kHomeVariables[i], m_oldHome.at(i));
        }
    }
    static QJsonObject folder(int id, const char *kind, const char *name)
    {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    }

    static constexpr const char *kHomeVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"};
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    // The variables as the case found them (a null value: not set).
    QList<QByteArray> m_oldHome;
};
