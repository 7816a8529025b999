// The main window's settings openers (advanced settings, device settings, the contact-manager popup)
// and the small settings windows: the cloud settings sheet, developer options and preferences.
#include "AdvancedSettingsTestSupport.h"

#include "app/HMConfigurationManager.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "phonelink/HMWiFiSettingsWindowController.h"
#include "platform/appkit/OpenPanel.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMConfiguration.h"
#include "sync/HMProfile.h"
#include "ui/accounts/GoogleDirectWindowController.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/accounts/HMQuillnestSettingsWindowController.h"
#include "ui/settings/HMDeveloperPrefsWindowController.h"
#include "ui/settings/HMMainSettingsWindowController.h"
#include "ui/settings/HMParcelvaneSettingsWindowController.h"
#include "ui/settings/HMPreferencesWindowController.h"
#include "ui/settings/HMSettingsWindows.h"
#include "ui_HMDeveloperPrefsWindowController.h"
#include "ui_HMMainSettingsWindowController.h"
#include "ui_HMGeneralPreferencesViewController.h"
#include "ui_HMParcelvaneSettingsWindowController.h"
#include "ui_HMQuillnestSettingsWindowController.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

using namespace platform;

const QString kOutlook15 = QStringLiteral("ContactManagerOutlook15");

class SettingsOpenersTest : public SettingsWindowsTest
{
protected:
    QDialog &shownMainWindow()
    {
        QDialog &window = *mainWindow().window();
        window.show();
        return window;
    }
    QPushButton *mainButton(const QString &name) { return shownMainWindow().findChild<QPushButton *>(name); }

    // The names of the controls Tab reaches from the first one, as many as asked, the first included.
    static QStringList tabWalk(QWidget &window, QWidget *first, int count)
    {
        window.activateWindow();
        QApplication::setActiveWindow(&window);
        first->setFocus(Qt::TabFocusReason);
        QStringList reached;
        for (int i = 0; i < count; ++i) {
            QWidget *const focused = QApplication::focusWidget();
            if (focused == nullptr)
                break;
            reached.append(focused->objectName());
            QTest::keyClick(focused, Qt::Key_Tab);
        }
        return reached;
    }

    // Makes the calendars and reminder lists in the store, in order; answers their identifiers.
    static QStringList makeLists(EKEntityType type, const QStringList &titles)
    {
        const std::shared_ptr<EKEventStore> store =
            EKEventStore::create(type == EKEntityType::Event ? EKEntityMaskEvent : EKEntityMaskReminder);
        QStringList identifiers;
        for (const QString &title : titles) {
            const std::shared_ptr<EKCalendar> calendar = EKCalendar::calendarForEntityType(type);
            calendar->setTitle(title);
            EXPECT_TRUE(store->saveCalendar(calendar, true));
            identifiers.append(calendar->calendarIdentifier());
        }
        return identifiers;
    }
};

// Advanced settings wait for a contact manager; then the sheet is configured from the popup.
TEST_F(SettingsOpenersTest, AdvancedSettingsFollowTheContactManagerPopup)
{
    launchWithProfile(QString(), [](HMProfile &profile) { profile.setDeviceTypeName(QStringLiteral("google_devicetype")); });
    // Without a contact manager the first start opens the main settings a quarter second after the
    // window loads: they are cancelled first, so that on a slow machine they do not come up among the
    // steps below.
    shownMainWindow();
    HMMainSettingsWindowController *firstStart = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        settle();
        firstStart = qobject_cast<HMMainSettingsWindowController *>(mainWindow().modalController());
        return firstStart != nullptr && firstStart->isSheetOpen();
    })) << "the first start opened no settings";
    click(firstStart->ui().cancelButton);
    settle();
    click(mainButton(QStringLiteral("advancedSettingsButton")));
    EXPECT_EQ(alertTexts(), QStringList{QStringLiteral("Select your contact manager before configuring.")});
    EXPECT_FALSE(mainWindow().hasOpenSheet());
    EXPECT_EQ(mainWindow().modalController(), firstStart) << "a sheet was opened";

    QComboBox &popup = *shownMainWindow().findChild<QComboBox *>(QStringLiteral("contactManagerButton"));
    EXPECT_EQ(popup.currentText(), QStringLiteral("Select your contact manager"));
    AdvancedSettingsTest::screenshotOf(shownMainWindow(), QStringLiteral("main_window_settings_controls"));
    pick(popup, popup.findText(QStringLiteral("Outlook 2016")));
    EXPECT_EQ(savedProfile()->contactManagerName(), kOutlook15) << "the popup did not set the profile's manager";
    EXPECT_EQ(GlobalVariables::getContactManagerSetting(), 2);
    click(mainButton(QStringLiteral("advancedSettingsButton")));
    auto *const advanced = qobject_cast<HMAdvancedSettingsWindowController *>(mainWindow().modalController());
    ASSERT_NE(advanced, nullptr);
    EXPECT_TRUE(advanced->isConfiguredForOutlook);
    EXPECT_EQ(advanced->configuredOutlookVersion, QStringLiteral("15"));
    EXPECT_TRUE(advanced->isConfiguredForGoogle);
    EXPECT_FALSE(advanced->isGoogleDirect);
    EXPECT_EQ(advanced->sheetParent(), mainWindow().window());
    // The deletion pop-up lists the profile's choices, set by the opener.
    const auto *const deletions = advanced->window()->findChild<QComboBox *>(QStringLiteral("syncDeletionsPopUp"));
    ASSERT_NE(deletions, nullptr);
    for (const QString &choice : m_profile->syncDeletionsDictionaryList().keys())
        EXPECT_GE(deletions->findData(choice), 0) << choice.toStdString();
    QTest::keyClick(advanced->window(), Qt::Key_Escape);
    settle();
    EXPECT_FALSE(GlobalVariables::getAdvancedSettingsIsOpen());
    EXPECT_TRUE(waitUntil([&] {
        settle();
        return mainWindow().isListening();
    }));
}

// Device settings open the sheet of the profile's method; USB opens none and leaves the listener open.
TEST_F(SettingsOpenersTest, DeviceSettingsOfTheMainWindowAndTheListener)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setDeviceTypeName(QStringLiteral("android"));
        profile.setSyncMethodName(QStringLiteral("adb"));
    });
    ASSERT_TRUE(waitUntil([&] { return mainWindow().isListening(); }));
    click(mainButton(QStringLiteral("deviceSettingsButton")));
    EXPECT_EQ(mainWindow().modalController(), nullptr);
    EXPECT_FALSE(mainWindow().hasOpenSheet());
    EXPECT_TRUE(mainWindow().isListening()) << "USB device settings left phone-started syncs off";

    m_profile->setSyncMethodName(QStringLiteral("wifi"));
    click(mainButton(QStringLiteral("deviceSettingsButton")));
    auto *const pairing = qobject_cast<HMWiFiSettingsWindowController *>(mainWindow().modalController());
    ASSERT_NE(pairing, nullptr);
    EXPECT_FALSE(mainWindow().isListening()) << "the window's listener competes with the pairing sheet's";
    pairing->window()->close();
    settle();
    EXPECT_FALSE(pairing->window()->isVisible());
    EXPECT_TRUE(waitUntil([&] {
        settle();
        return mainWindow().isListening();
    })) << "closing the pairing sheet by the window manager left the listener closed";

    m_profile->setSyncMethodName(QStringLiteral("quill_nest_sync_method"));
    click(mainButton(QStringLiteral("deviceSettingsButton")));
    auto *const cloud = qobject_cast<HMQuillnestSettingsWindowController *>(mainWindow().modalController());
    ASSERT_NE(cloud, nullptr);
    EXPECT_TRUE(GlobalVariables::getAdvancedSettingsIsOpen());
    click(cloud->ui().okButton);
    settle();
    EXPECT_FALSE(GlobalVariables::getAdvancedSettingsIsOpen());
}

// "Apple" in the popup selects every calendar and reminder list, writing to the last of each; with
// none the lists are empty and nothing is written to.
TEST_F(SettingsOpenersTest, AppleSelectsEveryCalendarAndReminderList)
{
    launchWithProfile(kOutlook15);
    QComboBox &popup = *shownMainWindow().findChild<QComboBox *>(QStringLiteral("contactManagerButton"));
    pick(popup, popup.findText(QStringLiteral("Apple")));
    std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_EQ(saved->contactManager(), HMContactManager::Apple);
    EXPECT_TRUE(saved->eventCalendarIdentifiersToSync().isEmpty());
    EXPECT_TRUE(saved->eventCalendarIdentifierToWriteTo().isNull());
    EXPECT_TRUE(saved->taskCalendarIdentifiersToSync().isEmpty());
    EXPECT_TRUE(saved->taskCalendarIdentifierToWriteTo().isNull());
    EXPECT_FALSE(shownMainWindow().findChild<QLabel *>(QStringLiteral("outlookNote1"))->isVisible());

    const QStringList calendars = makeLists(EKEntityType::Event, {"Home", "Work", "Family"});
    const QStringList lists = makeLists(EKEntityType::Reminder, {"Errands", "Garden"});
    pick(popup, popup.findText(QStringLiteral("Outlook 2011")));
    EXPECT_TRUE(shownMainWindow().findChild<QLabel *>(QStringLiteral("outlookNote1"))->isVisible());
    pick(popup, popup.findText(QStringLiteral("Apple")));
    saved = savedProfile();
    // The store's listing offers a reminder list's folder for events too, so each list holds at least
    // its own kind, in the store's order.
    const QStringList syncCalendars = saved->eventCalendarIdentifiersToSync();
    for (const QString &identifier : calendars)
        EXPECT_TRUE(syncCalendars.contains(identifier)) << identifier.toStdString();
    EXPECT_EQ(saved->eventCalendarIdentifierToWriteTo(), syncCalendars.constLast());
    const QStringList syncLists = saved->taskCalendarIdentifiersToSync();
    for (const QString &identifier : lists)
        EXPECT_TRUE(syncLists.contains(identifier)) << identifier.toStdString();
    EXPECT_EQ(saved->taskCalendarIdentifierToWriteTo(), syncLists.constLast());
}

// The cloud sheet commits user name and password into the profile object on OK or Escape, as typed,
// and writes no file.
TEST_F(SettingsOpenersTest, CloudSettingsSheetChangesTheProfileObjectNotTheFile)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setDeviceTypeName(QStringLiteral("android"));
        profile.setSyncMethodName(QStringLiteral("quill_nest_sync_method"));
        profile.setHhUserId(QStringLiteral("old@example.org"));
    });
    // On a window of its own: the main window saves its profile whenever it loses the focus.
    mainWindow().window()->hide();
    settle();
    m_parentWindow = std::make_unique<QWidget>();
    m_parentWindow->resize(600, 400);
    m_parentWindow->show();
    const std::unique_ptr<QObject> opened =
        HMAccountSheets::open(HMSettingsSheets::Sheet::CloudSettings, m_parentWindow.get(), m_profile);
    auto &sheet = *qobject_cast<HMQuillnestSettingsWindowController *>(opened.get());
    EXPECT_EQ(sheet.ui().userNameField->text(), QStringLiteral("old@example.org"));
    EXPECT_EQ(sheet.ui().manageQuillnestAccountButton->hyperlinkUrl().path(), QStringLiteral("/customer/signin"));
    EXPECT_FALSE(sheet.ui().passwordLabel->text().isEmpty());
    QApplication::setActiveWindow(sheet.window());
    sheet.ui().userNameField->setFocus(Qt::TabFocusReason);
    sheet.ui().userNameField->selectAll();
    QTest::keyClicks(sheet.ui().userNameField, QStringLiteral("plainname"));
    QTest::keyClick(sheet.ui().userNameField, Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("s3cret"));
    EXPECT_EQ(m_profile->hhUserId(), QStringLiteral("old@example.org")) << "edits reached the profile before OK";
    AdvancedSettingsTest::screenshotOf(*sheet.window(), QStringLiteral("cloud_settings"));
    AdvancedSettingsTest::screenshotOf(*sheet.window(), QStringLiteral("cloud_settings@2x"), 2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    settle();
    EXPECT_FALSE(sheet.window()->isVisible());
    EXPECT_EQ(m_profile->hhUserId(), QStringLiteral("plainname"));
    EXPECT_EQ(m_profile->quillnestPassword(), QStringLiteral("s3cret"));
    const std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_EQ(saved->hhUserId(), QStringLiteral("old@example.org")) << "the sheet wrote the profile file";
    EXPECT_EQ(saved->quillnestPassword(), QString());
}

// Developer options: the path shows greyed until the box is ticked; the chooser fills it; OK stores
// path and flag in the profile object only; Cancel changes nothing.
TEST_F(SettingsOpenersTest, DeveloperOptionsEdgeCases)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setOutlookApplicationPathSetting(QStringLiteral("/Volumes/Work/Outlook.app"));
        profile.setUseCustomOutlookApplicationPath(false);
    });
    m_delegate->developerPreferencesSelected();
    auto *options = qobject_cast<HMDeveloperPrefsWindowController *>(m_delegate->developerPrefsWindowController());
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->profile, m_profile) << "not the main window's current profile";
    Ui::HMDeveloperPrefsWindowController &ui = options->ui();
    EXPECT_EQ(ui.outlookApplicationPathField->text(), QStringLiteral("/Volumes/Work/Outlook.app"));
    EXPECT_FALSE(ui.outlookApplicationPathField->isEnabled());
    EXPECT_FALSE(ui.chooseFileButton->isEnabled());
    click(ui.useCustomPathCheckbox);
    EXPECT_TRUE(ui.outlookApplicationPathField->isEnabled());
    EXPECT_TRUE(ui.chooseFileButton->isEnabled());
    {
        ScriptedOpenPanelResponder panels({{NSModalResponseCancel, QString()}, {NSModalResponseOK, QStringLiteral("/opt/Outlook.app")}});
        click(ui.chooseFileButton);
        EXPECT_EQ(ui.outlookApplicationPathField->text(), QStringLiteral("/Volumes/Work/Outlook.app"));
        click(ui.chooseFileButton);
        EXPECT_EQ(ui.outlookApplicationPathField->text(), QStringLiteral("/opt/Outlook.app"));
        ASSERT_EQ(panels.recordedPanels().size(), 2);
        EXPECT_TRUE(panels.recordedPanels().constFirst().canChooseFiles);
        EXPECT_TRUE(panels.recordedPanels().constFirst().canChooseDirectories);
    }
    AdvancedSettingsTest::screenshotOf(*options->window(), QStringLiteral("developer_options"));
    QTest::keyClick(options->window(), Qt::Key_Escape);
    EXPECT_FALSE(options->window()->isVisible());
    EXPECT_FALSE(m_profile->useCustomOutlookApplicationPath()) << "Escape stored the edits";

    m_delegate->developerPreferencesSelected();
    options = qobject_cast<HMDeveloperPrefsWindowController *>(m_delegate->developerPrefsWindowController());
    click(options->ui().useCustomPathCheckbox);
    click(options->ui().useCustomPathCheckbox);
    options->ui().outlookApplicationPathField->clear();
    click(options->ui().okButton);
    EXPECT_FALSE(m_profile->useCustomOutlookApplicationPath());
    EXPECT_EQ(m_profile->outlookApplicationPathSetting(), QString());
    EXPECT_EQ(savedProfile()->outlookApplicationPathSetting(), QStringLiteral("/Volumes/Work/Outlook.app"))
        << "OK wrote the profile file";
}

// The preferences window edits the configuration live and writes it at every close, changed or not.
TEST_F(SettingsOpenersTest, PreferencesAreWrittenAtEveryClose)
{
    launchWithProfile(kOutlook15);
    const QString path = HMConfigurationManager::configurationFilePath();
    QFile::remove(path);
    m_delegate->showPreferences();
    auto *preferences = qobject_cast<HMPreferencesWindowController *>(m_delegate->preferencesWindowController());
    ASSERT_NE(preferences, nullptr);
    EXPECT_FALSE(QFileInfo::exists(path));
    AdvancedSettingsTest::screenshotOf(*preferences->window(), QStringLiteral("preferences"));
    preferences->window()->close();
    EXPECT_FALSE(preferences->window()->isVisible());
    EXPECT_TRUE(QFileInfo::exists(path)) << "closing unchanged wrote nothing";

    m_delegate->showPreferences();
    preferences = qobject_cast<HMPreferencesWindowController *>(m_delegate->preferencesWindowController());
    Ui::HMGeneralPreferencesViewController &pane = preferences->generalPreferencesViewController()->ui();
    const bool wasInBackground = m_delegate->configuration()->runInBackground();
    click(pane.runInBackgroundCheckbox);
    EXPECT_EQ(m_delegate->configuration()->runInBackground(), !wasInBackground) << "not edited live";
    pane.maxProfilesField->setValue(3);
    EXPECT_EQ(m_delegate->configuration()->maxProfiles(), 3);
    QFile::remove(path);
    QTest::keyClick(preferences->window(), Qt::Key_Escape);
    EXPECT_FALSE(preferences->window()->isVisible());
    m_delegate->showPreferences();
    preferences = qobject_cast<HMPreferencesWindowController *>(m_delegate->preferencesWindowController());
    QTest::keyClick(preferences->window()->findChild<QPushButton *>(QStringLiteral("closeButton")), Qt::Key_Return);
    EXPECT_FALSE(preferences->window()->isVisible()) << "Return did not close the preferences";
    const auto stored = HMConfigurationManager::configurationFileForCurrentApplication();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->runInBackground(), !wasInBackground);
}

// The progress sheet's Reauthorize ends it and opens the Google sheet with one browser sign-in.
TEST_F(SettingsOpenersTest, ReauthorizeOpensTheGoogleSheetAndTheBrowser)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setDeviceTypeName(QStringLiteral("google_devicetype"));
        profile.setSyncMethodName(QStringLiteral("direct_sync_method"));
    });
    shownMainWindow();
    mainWindow().showSyncStatusProgressController();
    const std::shared_ptr<HMSyncProgressController> progress = mainWindow().syncProgressController();
    ASSERT_NE(progress, nullptr);
    progress->displayReauthorizationButtons();
    const qsizetype requestsBefore = m_workspaceRequests.size();
    progress->reauthorizeClicked();
    settle();
    EXPECT_FALSE(progress->window()->isVisible());
    auto *const google = qobject_cast<GoogleDirectWindowController *>(mainWindow().modalController());
    ASSERT_NE(google, nullptr) << "no Google sheet came up";
    EXPECT_TRUE(google->window()->isVisible());
    ASSERT_EQ(m_workspaceRequests.size(), requestsBefore + 1) << "not exactly one browser address";
    EXPECT_EQ(m_workspaceRequests.constLast().second.path(), QStringLiteral("/o/oauth2/auth"));
}

// The Parcelvane sheet's labels come from the strings table; OK commits the account fields.
TEST_F(SettingsOpenersTest, ParcelvaneSheetCommitsOnOk)
{
    launchWithProfile(kOutlook15);
    HMParcelvaneSettingsWindowController sheet;
    sheet.setProfile(m_profile);
    sheet.setParentWindow(&shownMainWindow());
    sheet.showPanel();
    EXPECT_EQ(sheet.ui().urlLabel->text(), QStringLiteral("Address:"));
    EXPECT_FALSE(sheet.ui().instructionsField->text().isEmpty());
    sheet.ui().userNameField->setText(QStringLiteral("partner"));
    sheet.ui().passwordField->setText(QStringLiteral("pw"));
    AdvancedSettingsTest::screenshotOf(*sheet.window(), QStringLiteral("parcelvane_settings"));
    QTest::keyClick(sheet.window(), Qt::Key_Escape);
    EXPECT_FALSE(sheet.isSheetOpen());
    EXPECT_EQ(m_profile->hhUserId(), QStringLiteral("partner"));
    EXPECT_EQ(m_profile->hhPassword(), QStringLiteral("pw"));

    // Another profile given to the loaded sheet shows at once, so OK never writes one profile's edits
    // into another.
    const auto other = std::make_shared<HMProfile>();
    other->setHhUserId(QStringLiteral("second"));
    other->setHhPassword(QStringLiteral("pw2"));
    other->setQuillnestPassword(QStringLiteral("cloud"));
    sheet.setProfile(other);
    EXPECT_EQ(sheet.ui().userNameField->text(), QStringLiteral("second"));
    EXPECT_EQ(sheet.ui().passwordField->text(), QStringLiteral("pw2"));
}

// Tab walks each small window's controls in reading order and comes back to the first.
TEST_F(SettingsOpenersTest, TabWalksTheSmallWindowsInReadingOrder)
{
    launchWithProfile(kOutlook15);
    m_delegate->developerPreferencesSelected();
    auto *const options = qobject_cast<HMDeveloperPrefsWindowController *>(m_delegate->developerPrefsWindowController());
    ASSERT_NE(options, nullptr);
    // The path and its chooser take focus once the box is ticked.
    click(options->ui().useCustomPathCheckbox);
    EXPECT_EQ(tabWalk(*options->window(), options->ui().useCustomPathCheckbox, 6),
              (QStringList{"useCustomPathCheckbox", "outlookApplicationPathField", "chooseFileButton", "cancelButton",
                           "okButton", "useCustomPathCheckbox"}));
    click(options->ui().cancelButton);

    m_delegate->showPreferences();
    auto *const preferences = qobject_cast<HMPreferencesWindowController *>(m_delegate->preferencesWindowController());
    ASSERT_NE(preferences, nullptr);
    Ui::HMGeneralPreferencesViewController &pane = preferences->generalPreferencesViewController()->ui();
    EXPECT_EQ(tabWalk(*preferences->window(), pane.runInBackgroundCheckbox, 5),
              (QStringList{"runInBackgroundCheckbox", "allowsProfileSelectionCheckbox", "maxProfilesField", "closeButton",
                           "runInBackgroundCheckbox"}));
    preferences->window()->close();

    HMParcelvaneSettingsWindowController parcelvane;
    parcelvane.setProfile(m_profile);
    parcelvane.setParentWindow(&shownMainWindow());
    parcelvane.showPanel();
    EXPECT_EQ(tabWalk(*parcelvane.window(), parcelvane.ui().userNameField, 5),
              (QStringList{"userNameField", "passwordField", "urlField", "okButton", "userNameField"}));
    QTest::keyClick(parcelvane.window(), Qt::Key_Escape);
    EXPECT_FALSE(parcelvane.isSheetOpen());
}

} // namespace
