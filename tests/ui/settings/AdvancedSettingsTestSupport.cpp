#include "AdvancedSettingsTestSupport.h"

#include "OutlookPeerProcess.h"
#include "support/TestSupport.h"

#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/settings/HMSettingsWindows.h"
#include "ui_HMAdvancedSettingsWindowController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTabBar>
#include <QTest>

AdvancedSettingsTest::AdvancedSettingsTest() = default;

AdvancedSettingsTest::~AdvancedSettingsTest() = default;

void AdvancedSettingsTest::SetUp()
{
    LaunchedShell::SetUp();
    m_oldRoot = qgetenv("HM_SYSTEM_ROOT");
    m_systemRoot = m_home->path() + QStringLiteral("/system");
    QDir().mkpath(m_systemRoot);
    qputenv("HM_SYSTEM_ROOT", m_systemRoot.toUtf8());
    GlobalVariables::setOutlookApplicationReference(QString());
}

void AdvancedSettingsTest::TearDown()
{
    m_sheet.reset();
    m_parentWindow.reset();
    m_outlookPeer.reset();
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    GlobalVariables::setOutlookApplicationReference(QString());
    qputenv("HM_SYSTEM_ROOT", m_oldRoot);
    LaunchedShell::TearDown();
}

void AdvancedSettingsTest::launchWithProfile(const QString &contactManager, const std::function<void(HMProfile &)> &edit)
{
    HMProfileManager manager(*m_defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setName(QStringLiteral("Settings"));
    profile->setContactManagerName(contactManager);
    profile->setContactManager(contactManagerForName(contactManager));
    if (edit)
        edit(*profile);
    ASSERT_TRUE(manager.saveProfile(*profile));
    launch();
    ASSERT_FALSE(m_delegate->profiles().isEmpty());
    m_profile = m_delegate->profiles().first();
}

HMAdvancedSettingsWindowController &AdvancedSettingsTest::openSheet(
    const std::function<void(HMAdvancedSettingsWindowController &)> &configure)
{
    m_parentWindow = std::make_unique<QWidget>();
    m_parentWindow->resize(900, 700);
    m_parentWindow->show();
    m_sheet = std::make_unique<HMAdvancedSettingsWindowController>();
    HMAdvancedSettingsWindowController &sheet = *m_sheet;
    const HMContactManager manager = m_profile->contactManager();
    sheet.isConfiguredForOutlook = manager == HMContactManager::Outlook14 || manager == HMContactManager::Outlook15;
    sheet.isConfiguredForGoogle = m_profile->deviceTypeName().contains(QStringLiteral("google"));
    sheet.isGoogleDirect = m_profile->syncMethod() == HMSyncMethod::GoogleDirect;
    sheet.parentWindow = m_parentWindow.get();
    sheet.profile = m_profile;
    sheet.configuredOutlookVersion = manager == HMContactManager::Outlook14   ? QStringLiteral("14")
                                     : manager == HMContactManager::Outlook15 ? QStringLiteral("15")
                                                                              : QStringLiteral("unknown");
    sheet.outlookScriptTimeout = std::chrono::seconds(3);
    sheet.outlookFoldersDidLoad = [this] { ++m_foldersLoaded; };
    if (configure)
        configure(sheet);
    sheet.showPanel();
    return sheet;
}

std::shared_ptr<HMProfile> AdvancedSettingsTest::savedProfile() const
{
    HMProfileManager manager(*m_defaults);
    const auto profiles = manager.loadProfiles();
    EXPECT_TRUE(bool(profiles));
    return profiles && !profiles->isEmpty() ? profiles->first() : nullptr;
}

QByteArray AdvancedSettingsTest::profileFileBytes() const
{
    QFile file(m_home->dataFolder() + u'/' + m_profile->filename() + QStringLiteral(".settings"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void AdvancedSettingsTest::clickClose()
{
    click(m_sheet->ui().closeButton);
}

void AdvancedSettingsTest::click(QAbstractButton *button)
{
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(std::min(8, button->width() / 2), button->height() / 2));
}

void AdvancedSettingsTest::pick(QComboBox &comboBox, int index)
{
    comboBox.setCurrentIndex(index);
    emit comboBox.activated(index);
}

void AdvancedSettingsTest::clickTab(const QString &identifier)
{
    QTabWidget &tabs = *m_sheet->ui().settingsTabView;
    for (int i = 0; i < tabs.count(); ++i) {
        if (tabs.widget(i)->objectName() == identifier) {
            QTest::mouseClick(tabs.tabBar(), Qt::LeftButton, {}, tabs.tabBar()->tabRect(i).center());
            platform::DispatchQueue::runMainQueueUntilEmpty();
            return;
        }
    }
    ADD_FAILURE() << "no tab " << identifier.toStdString();
}

QString AdvancedSettingsTest::screenshot(const QString &name, qreal scale) const
{
    return screenshotOf(*m_sheet->window(), name, scale);
}

QString AdvancedSettingsTest::screenshotOf(QWidget &window, const QString &name, qreal scale)
{
    const QString folder = binaryDir() + QStringLiteral("/screenshots/ui_settings");
    QDir().mkpath(folder);
    QPixmap pixmap(window.size() * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::white);
    window.render(&pixmap);
    const QString path = folder + u'/' + name + QStringLiteral(".png");
    EXPECT_TRUE(pixmap.save(path));
    return path;
}

void AdvancedSettingsTest::startOutlook(const QString &versionText, const QJsonObject &state, const QStringList &extraArguments)
{
    OutlookPeerProcess::Options options;
    options.arguments = QStringList{QStringLiteral("--version-text"), versionText} + extraArguments;
    m_outlookPeer = std::make_unique<OutlookPeerProcess>(options);
    ASSERT_TRUE(m_outlookPeer->isReady());
    m_outlookPeer->seed(state);
}

bool AdvancedSettingsTest::waitForFolders()
{
    const int before = m_foldersLoaded;
    return waitUntil([&] {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        return m_foldersLoaded > before || !m_sheet->isLoadingOutlookFolders();
    }, std::chrono::seconds(20));
}

void SettingsWindowsTest::SetUp()
{
    AdvancedSettingsTest::SetUp();
    HMAccountSheets::registerWithMainWindow();
    HMSettingsWindows::registerWithMainWindow();
}

HMMainWindowController &SettingsWindowsTest::mainWindow()
{
    return *m_delegate->mainWindowController();
}

void SettingsWindowsTest::settle()
{
    for (int i = 0; i < 3; ++i) {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        QApplication::processEvents();
    }
}
