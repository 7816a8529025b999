#include "app/HMMainWindowController.h"

#include "ui_HMMainWindowController.h"

#include "app/HMAppDelegate.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Application.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <QMenuBar>
#include <QPushButton>

HMMainWindowController::HMMainWindowController(HMAppDelegate &appDelegate)
    : platform::WindowController(QStringLiteral("HMMainWindowController")), m_appDelegate(appDelegate),
      m_ui(std::make_unique<Ui::HMMainWindowController>())
{
}

HMMainWindowController::~HMMainWindowController()
{
    // The application's menu bar outlives every main window: take it back before the window goes.
    platform::Application *const application = platform::Application::shared();
    QMenuBar *const menuBar = application != nullptr ? application->mainMenu() : nullptr;
    if (menuBar != nullptr && isWindowLoaded() && menuBar->parentWidget() == window())
        menuBar->setParent(nullptr);
}

void HMMainWindowController::loadInterface(QDialog &window)
{
    m_ui->setupUi(&window);
}

void HMMainWindowController::windowDidLoad()
{
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr && application->mainMenu() != nullptr)
        m_ui->mainLayout->setMenuBar(application->mainMenu());
    connect(m_ui->synchronizeButton, &QPushButton::clicked, this, [this] { synchronizeProfile(this); });
    updateProfileDisplay();
}

std::shared_ptr<HMProfile> HMMainWindowController::currentProfile() const
{
    const QList<std::shared_ptr<HMProfile>> profiles = m_appDelegate.profiles();
    return profiles.isEmpty() ? nullptr : profiles.front();
}

void HMMainWindowController::updateProfileDisplay()
{
    const std::shared_ptr<HMProfile> profile = currentProfile();
    m_ui->profileNameLabel->setText(profile ? profile->name() : QStringLiteral("No profile"));
    m_ui->synchronizeButton->setEnabled(profile != nullptr);
}

void HMMainWindowController::synchronizeProfile(const void *sender)
{
    static_cast<void>(sender);
    const std::shared_ptr<HMProfile> profile = currentProfile();
    const std::shared_ptr<HMBackgroundSyncManager> manager = m_appDelegate.backgroundSyncManager();
    if (!profile || !manager || GlobalVariables::getIsSynchronizing())
        return;
    DDLogInfo(QStringLiteral("Synchronizing %1 from the main window").arg(profile->name()));
    manager->runManualBackgroundSyncWithConfiguration(
        std::make_shared<HMDataConfigurationSource>(m_appDelegate.profileManager(), profile));
}
