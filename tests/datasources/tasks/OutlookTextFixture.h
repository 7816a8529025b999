#pragma once

#include "OutlookPeerProcess.h"

#include "foundation/GlobalVariables.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <memory>

// The simulated Outlook the text tests of tasks and memos ask, run as a process with its home as ours:
// the four default folders and one more of the test's own, two categories.
class OutlookTextFixture : public ::testing::Test
{
protected:
    void startOutlook(const QJsonObject &extraFolder, const OutlookPeerProcess::Options &options = {})
    {
        m_oldHome = qgetenv("HOME");
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        ASSERT_TRUE(m_outlook->isReady());
        m_outlook->seed(QJsonObject{
            {"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                   folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes"), extraFolder}},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}},
                                      QJsonObject{{"id", 6}, {"name", "Family"}, {"color", QJsonArray{0, 32768, 65535}}}}}});
        qputenv("HOME", QFile::encodeName(m_outlook->home()));
        GlobalVariables::setIsOutlookSync(true);
    }
    void TearDown() override
    {
        GlobalVariables::setCurrentProfileController(nullptr);
        GlobalVariables::setIsOutlookSync(false);
        if (m_outlook)
            qputenv("HOME", m_oldHome);
    }
    static QJsonObject folder(int id, const char *kind, const char *name)
    {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    }

    std::unique_ptr<OutlookPeerProcess> m_outlook;
    QByteArray m_oldHome;
};
