#pragma once

// What the scripter tests share: the simulated Outlook as its own process, a data folder with or
// without the automation script, the console captured, and the handler calls the peer received.
#include "OutlookPeerProcess.h"

#include "foundation/GlobalVariables.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <mutex>

// Points the console at a temporary file for the life of the object; lines() answers the messages
// without their stamps.
class ConsoleCapture final
{
public:
    ConsoleCapture()
    {
        EXPECT_TRUE(m_file.open());
        m_previous = platform::setConsoleLogDescriptor(m_file.handle());
    }
    ~ConsoleCapture() { platform::setConsoleLogDescriptor(m_previous); }

    QStringList lines() const
    {
        QFile reader(m_file.fileName());
        if (!reader.open(QIODevice::ReadOnly))
            return {};
        QStringList messages;
        static const QRegularExpression stamp(QStringLiteral("^\\S+ \\S+ \\S+\\[\\d+:\\d+\\] "));
        for (const QString &line : QString::fromUtf8(reader.readAll()).split(u'\n', Qt::SkipEmptyParts))
            messages.append(QString(line).remove(stamp));
        return messages;
    }
    qsizetype count(const QString &message) const { return lines().count(message); }
    qsizetype countStartingWith(const QString &prefix) const
    {
        qsizetype found = 0;
        for (const QString &line : lines())
            found += line.startsWith(prefix) ? 1 : 0;
        return found;
    }

private:
    QTemporaryFile m_file;
    int m_previous = -1;
};

// Moves the process clock by a minute at every reading, so that a two-minute bound passes in a few
// polls of real time.
class RacingClock final
{
public:
    RacingClock()
    {
        platform::Clock::setSource([this] {
            const std::lock_guard lock(m_mutex);
            m_now = m_now.addSecs(60);
            return m_now;
        });
    }
    ~RacingClock() { platform::Clock::setSource({}); }

private:
    std::mutex m_mutex;
    QDateTime m_now = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
};

class AppleScripterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.isReady());
        ASSERT_TRUE(m_data.isValid());
        testsupport::pointHomeAt(m_data.path());
        GlobalVariables::setOutlookApplicationReference(QString());
    }
    void TearDown() override { GlobalVariables::setOutlookApplicationReference(QString()); }

    // Puts the automation script into the Application Scripts folder; its first line names the
    // application its handlers drive.
    void installScript() const
    {
        const platform::Result<QString> folder = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
        ASSERT_TRUE(folder.ok());
        QFile script(*folder + QStringLiteral("/automation.scpt"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("Microsoft Outlook\n-- the handlers of the automation script\n");
    }
    void seed(const QJsonObject &state) const
    {
        ASSERT_TRUE(m_peer.seed(state).value(QStringLiteral("ok")).toBool());
    }
    void setSwitches(const QJsonObject &switches) const
    {
        QJsonObject command = switches;
        command[QStringLiteral("op")] = QStringLiteral("switches");
        ASSERT_TRUE(m_peer.control(command).value(QStringLiteral("ok")).toBool());
    }
    // The handler calls the peer received since the last look, oldest first.
    QJsonArray takeCalls() const
    {
        return m_peer.control({{QStringLiteral("op"), QStringLiteral("handlerCalls")}}).value(QStringLiteral("calls")).toArray();
    }
    static QStringList handlersOf(const QJsonArray &calls)
    {
        QStringList names;
        for (const QJsonValue &call : calls)
            names.append(call.toObject().value(QStringLiteral("handler")).toString());
        return names;
    }

    // The peer reads date texts in the pattern this system writes them in, as Outlook beside the
    // application would.
    static OutlookPeerProcess::Options peerOptions()
    {
        OutlookPeerProcess::Options options;
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        return options;
    }

    OutlookPeerProcess m_peer{peerOptions()};
    QTemporaryDir m_data;
    ConsoleCapture m_console;
};

inline QJsonObject folder(int id, const char *kind, const char *name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("name"), QLatin1String(name)}};
}

inline QJsonArray standardFolders()
{
    return {folder(1, "address book", "Address Book"), folder(42, "address book", "Work"), folder(2, "calendar", "Calendar"),
            folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")};
}
