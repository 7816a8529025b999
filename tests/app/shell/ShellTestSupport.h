#pragma once

#include "app/HMAppDelegate.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>

class ManualStepScheduler;
class QMenu;
class HMProfile;

// A private home for one test: HOME and the XDG folders point into a temporary folder while the
// object lives, and are restored afterwards.
class TemporaryHome final
{
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome &) = delete;
    TemporaryHome &operator=(const TemporaryHome &) = delete;

    QString path() const { return m_folder.path(); }
    QString dataFolder() const;
    QString logFolder() const;
    QString autostartFolder() const;
    // The environment of a child process that lives in this home.
    QStringList environment() const;

private:
    QTemporaryDir m_folder;
    QList<QPair<QByteArray, QByteArray>> m_savedVariables;
};

// Saves a profile into the data folder of the current home, as the settings windows would.
std::shared_ptr<HMProfile> saveProfile(platform::UserDefaults &userDefaults, const QString &name,
                                       const QString &contactManager, qint64 intervalCode);

// The titles of a menu's items in order, separators as "-".
QStringList menuTitles(const QMenu &menu);
// Clicks the menu's item with the title; fails the test when there is none.
void triggerMenuItem(QMenu &menu, const QString &title);

// One launched application in the test process: a temporary home, user defaults on a file there,
// a background sync manager whose interval syncs wait for a test clock, alerts answered from a
// script and workspace requests recorded.
class LaunchedShell : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes the application object with the arguments and launches the delegate.
    void launch(const QStringList &extraArguments = {});
    QStringList alertTexts() const;
    // Sends a key press to the main window, as the keyboard would; answers whether the monitors
    // consumed it.
    bool pressKey(int key, Qt::KeyboardModifiers modifiers);

    // Runs on the new delegate before launching finishes, when set.
    std::function<void(HMAppDelegate &)> m_beforeLaunch;
    std::unique_ptr<TemporaryHome> m_home;
    std::unique_ptr<platform::UserDefaults> m_defaults;
    std::shared_ptr<ManualStepScheduler> m_scheduler;
    std::unique_ptr<platform::ScriptedAlertResponder> m_alerts;
    QList<QPair<platform::Workspace::RequestKind, QUrl>> m_workspaceRequests;
    std::unique_ptr<platform::Application> m_application;
    std::unique_ptr<HMAppDelegate> m_delegate;
};
