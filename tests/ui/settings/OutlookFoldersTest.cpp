// The Outlook folders tab against the simulated Outlook: the version check and the application
// reference it records, the account names, the four lists with their labels and counts, the saved
// pick, the -2753 alert, a stalled Outlook, and the automation script's installation.

#include "AdvancedSettingsTestSupport.h"

#include "OutlookPeerProcess.h"
#include "support/TestSupport.h"

#include "foundation/GlobalVariables.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/OpenPanel.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "sync/HMProfile.h"
#include "ui/settings/HMDeveloperPrefsWindowController.h"
#include "ui_HMAdvancedSettingsWindowController.h"
#include "ui_HMDeveloperPrefsWindowController.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QTimer>

namespace {

const QString kOutlook15 = QStringLiteral("ContactManagerOutlook15");
const QString kOutlook14 = QStringLiteral("ContactManagerOutlook14");

QJsonObject folder(qint64 id, const char *kind, const char *name)
{
    return {{"id", id}, {"kind", kind}, {"name", name}};
}

QJsonObject record(qint64 id, qint64 folderId)
{
    return {{"id", id}, {"folder", folderId}, {"created", "2026-01-01T10:00:00Z"}, {"modified", "2026-01-02T10:00:00Z"},
            {"subject", QStringLiteral("Item %1").arg(id)}, {"firstName", QStringLiteral("Name %1").arg(id)}};
}

// Two Exchange accounts (7 "Contoso", 8 "Fabrikam") and folders on this computer.
QJsonObject outlookState()
{
    QJsonArray contacts = {record(101, 11), record(102, 11), record(103, 12)};
    QJsonArray events = {record(201, 21)};
    QJsonArray tasks = {record(301, 31), record(302, 31)};
    return {{"folders", QJsonArray{folder(11, "address book", "Contacts"), folder(12, "address book", "Clients"),
                                   folder(13, "address book", "Address Book"), folder(21, "calendar", "Calendar"),
                                   folder(22, "calendar", "Team"), folder(31, "task folder", "Tasks"),
                                   folder(41, "note folder", "Notes")}},
            {"contacts", contacts}, {"events", events}, {"tasks", tasks}};
}

QJsonArray exchangeAccounts()
{
    return {QJsonObject{{"id", 7}, {"name", "Contoso"}, {"folders", QJsonArray{11, 21}}},
            QJsonObject{{"id", 8}, {"name", "Fabrikam"}, {"folders", QJsonArray{12}}}};
}

QStringList itemTexts(const QComboBox &comboBox)
{
    QStringList texts;
    for (int i = 0; i < comboBox.count(); ++i)
        texts.append(comboBox.itemText(i));
    return texts;
}

void setAllSelections(HMProfile &profile, const QString &contacts)
{
    profile.setOutlookContactFolderSelection(contacts);
    profile.setOutlookCalendarFolderSelection(QStringLiteral("22"));
    profile.setOutlookTaskFolderSelection(QStringLiteral("allFolders"));
    profile.setOutlookMemoFolderSelection(QStringLiteral("999"));
}

} // namespace

TEST_F(AdvancedSettingsTest, FolderListsAgainstOutlookAndASavedPick)
{
    startOutlook(QStringLiteral("16.78"), outlookState());
    m_outlookPeer->control({{"op", "switches"}, {"exchangeAccounts", exchangeAccounts()}});
    launchWithProfile(kOutlook15, [](HMProfile &profile) { setAllSelections(profile, QString()); });
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_NE(m_sheet->loadingFoldersView(), nullptr) << "the overlay shows while Outlook is asked";
    clickTab(QStringLiteral("GeneralTabView")); // the user looks elsewhere meanwhile
    ASSERT_TRUE(waitForFolders());
    EXPECT_EQ(m_sheet->ui().contactsFolderComboBox->count(), 4) << "filled while another tab was shown";
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    EXPECT_EQ(m_sheet->installedOutlookVersion, QStringLiteral("16.78"));
    EXPECT_EQ(GlobalVariables::getOutlookApplicationReference(), QStringLiteral("Microsoft Outlook"));

    Ui::HMAdvancedSettingsWindowController &ui = m_sheet->ui();
    EXPECT_EQ(itemTexts(*ui.contactsFolderComboBox),
              (QStringList{"All Contact Folders", "Contoso : Contacts - 2 records", "Fabrikam : Clients - 1 records",
                           "On My Computer : Address Book - 0 records"}));
    EXPECT_EQ(itemTexts(*ui.calendarFolderComboBox),
              (QStringList{"All Calendar Folders", "Contoso : Calendar - 1 record", "On My Computer : Team - 0 records"}));
    EXPECT_EQ(itemTexts(*ui.tasksFolderComboBox), (QStringList{"All Task Folders", "On My Computer : Tasks - 2 records"}));
    EXPECT_EQ(itemTexts(*ui.memosFolderComboBox), (QStringList{"All Note Folders", "On My Computer : Notes - 0 records"}));
    // The count is a run of its own, in Verdana italic, dark grey.
    const QVariant item = platform::itemObjectValue(*ui.contactsFolderComboBox, 1);
    ASSERT_EQ(item.metaType(), QMetaType::fromType<platform::StyledText>());
    const platform::StyledText styled = item.value<platform::StyledText>();
    ASSERT_EQ(styled.runs.size(), 2);
    EXPECT_EQ(styled.runs[0].text, QStringLiteral("Contoso : Contacts"));
    EXPECT_EQ(styled.runs[1].text, QStringLiteral(" - 2 records"));
    EXPECT_EQ(styled.runs[1].font.family(), QStringLiteral("Verdana"));
    EXPECT_TRUE(styled.runs[1].font.italic());
    EXPECT_EQ(styled.runs[1].font.pointSize(), 13);
    EXPECT_EQ(styled.runs[1].color, QColor(Qt::darkGray));
    EXPECT_EQ(platform::itemObjectValue(*ui.contactsFolderComboBox, 0).toString(), QStringLiteral("All Contact Folders"));
    // Default selections: nil is "allFolders"; a saved id at its place; an unknown one at index 0.
    EXPECT_EQ(ui.contactsFolderComboBox->currentIndex(), 0);
    EXPECT_EQ(ui.calendarFolderComboBox->currentIndex(), 2);
    EXPECT_EQ(ui.memosFolderComboBox->currentIndex(), 0);
    QElapsedTimer fading; // the overlay fades out over half a second
    fading.start();
    waitUntil([&] { return fading.elapsed() > 650; });
    screenshot(QStringLiteral("outlook-folders"));
    screenshot(QStringLiteral("outlook-folders@2x"), 2);
    ui.contactsFolderComboBox->showPopup();
    QWidget &popup = *ui.contactsFolderComboBox->view()->window();
    EXPECT_TRUE(popup.grab().save(binaryDir() + QStringLiteral("/screenshots/ui_settings/outlook-contact-folders-list.png")));
    ui.contactsFolderComboBox->hidePopup();

    pick(*ui.contactsFolderComboBox, 2);
    pick(*ui.tasksFolderComboBox, 1);
    clickClose();
    const std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_EQ(saved->outlookContactFolderSelection(), QStringLiteral("12"));
    EXPECT_EQ(saved->outlookCalendarFolderSelection(), QStringLiteral("22"));
    EXPECT_EQ(saved->outlookTaskFolderSelection(), QStringLiteral("31"));
    EXPECT_EQ(saved->outlookMemoFolderSelection(), QStringLiteral("allFolders"));
}

TEST_F(AdvancedSettingsTest, WithoutExchangeAccountsLabelsAreBareNamesAndUnreadableContactsAlert)
{
    startOutlook(QStringLiteral("15.3"), outlookState());
    m_outlookPeer->control({{"op", "switches"}, {"unreadableAddressBooks", true}});
    launchWithProfile(kOutlook15, [](HMProfile &profile) { setAllSelections(profile, QStringLiteral("12")); });
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    Ui::HMAdvancedSettingsWindowController &ui = m_sheet->ui();
    EXPECT_EQ(itemTexts(*ui.contactsFolderComboBox), QStringList{"All Contact Folders"});
    EXPECT_EQ(itemTexts(*ui.calendarFolderComboBox),
              (QStringList{"All Calendar Folders", "Calendar - 1 record", "Team - 0 records"}));
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    EXPECT_EQ(m_alerts->recordedAlerts().first().messageText,
              QStringLiteral("Outlook folders are unreadable. Try closing and restarting Outlook to correct this issue."));
    clickClose();
    EXPECT_EQ(savedProfile()->outlookContactFolderSelection(), QStringLiteral("allFolders"));
}

TEST_F(AdvancedSettingsTest, VersionMismatchNamesBothVersions)
{
    startOutlook(QStringLiteral("15.3"), outlookState());
    launchWithProfile(kOutlook14, [](HMProfile &profile) { setAllSelections(profile, QString()); });
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    EXPECT_EQ(m_alerts->recordedAlerts().first().messageText,
              QStringLiteral("Incorrect Outlook version configured. Harrowmere is configured for Outlook 14, but your "
                             "installed version of Outlook is 15.3"));
    EXPECT_EQ(m_sheet->ui().contactsFolderComboBox->count(), 0) << "the pickers stay unfilled";
    waitUntil([&] { return m_sheet->loadingFoldersView() == nullptr; });
    screenshot(QStringLiteral("outlook-version-error"));
    clickClose();
    EXPECT_TRUE(savedProfile()->outlookContactFolderSelection().isNull());
}

TEST_F(AdvancedSettingsTest, OutlookInAVirtualMachineIsAskedAgainAtTheFixedPath)
{
    const QString path2011 = QStringLiteral("/Applications/Microsoft Office 2011/Microsoft Outlook.app");
    QDir().mkpath(m_systemRoot + path2011);
    startOutlook(QStringLiteral("14.7.7"), outlookState(), {QStringLiteral("--reference"), QStringLiteral("Microsoft Outlook"),
                                                              QStringLiteral("--reference"), path2011});
    m_outlookPeer->control({{"op", "switches"},
                            {"versionTextFor", QJsonObject{{"Microsoft Outlook", "Windows 10 (VM)"}, {path2011, "14.7.7"}}}});
    launchWithProfile(kOutlook14, [](HMProfile &profile) { setAllSelections(profile, QString()); });
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    EXPECT_EQ(m_sheet->installedOutlookVersion, QStringLiteral("14.7.7"));
    EXPECT_EQ(GlobalVariables::getOutlookApplicationReference(), path2011);
    EXPECT_TRUE(m_alerts->recordedAlerts().isEmpty());
    EXPECT_EQ(m_sheet->ui().contactsFolderComboBox->count(), 4) << "the lists come from the fixed path";
    clickClose();
}

TEST_F(AdvancedSettingsTest, CustomPathsAreCompletedAndReachOutlookIntact)
{
    using Queries = HMOutlookFolderQueries;
    EXPECT_EQ(Queries::completedApplicationPath(QStringLiteral("/Apps/")), QStringLiteral("/Apps/Microsoft Outlook.app"));
    EXPECT_EQ(Queries::completedApplicationPath(QStringLiteral("/Apps/Outlook.app")), QStringLiteral("/Apps/Outlook.app"));
    EXPECT_EQ(Queries::completedApplicationPath(QStringLiteral("/Apps/Microsoft Outlook")),
              QStringLiteral("/Apps/Microsoft Outlook.app"));
    EXPECT_EQ(Queries::completedApplicationPath(QStringLiteral("/Apps/Office")),
              QStringLiteral("/Apps/Office/Microsoft Outlook.app"));

    const QString custom = QStringLiteral("/Apps/My \"Office\" \\ 2016/");
    const QString completed = custom + QStringLiteral("Microsoft Outlook.app");
    QDir().mkpath(m_systemRoot + completed);
    startOutlook(QStringLiteral("16.1"), outlookState(), {QStringLiteral("--reference"), QStringLiteral("Microsoft Outlook"),
                                                            QStringLiteral("--reference"), completed});
    m_outlookPeer->control({{"op", "switches"}, {"versionTextFor", QJsonObject{{completed, "16.99"}}}});
    launchWithProfile(kOutlook15, [&custom](HMProfile &profile) {
        setAllSelections(profile, QString());
        profile.setUseCustomOutlookApplicationPath(true);
        profile.setOutlookApplicationPathSetting(custom);
    });
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    EXPECT_EQ(m_sheet->installedOutlookVersion, QStringLiteral("16.99")) << "the quoted path reached its Outlook";
    EXPECT_EQ(GlobalVariables::getOutlookApplicationReference(), QStringLiteral("Microsoft Outlook"));
    clickClose();
}

// A path set in the developer options is the Outlook the folders tab then asks.
TEST_F(AdvancedSettingsTest, DeveloperOptionsPathIsTheOutlookTheFoldersTabAsks)
{
    const QString custom = QStringLiteral("/Volumes/Work/Office/");
    const QString completed = custom + QStringLiteral("Microsoft Outlook.app");
    QDir().mkpath(m_systemRoot + completed);
    startOutlook(QStringLiteral("16.1"), outlookState(), {QStringLiteral("--reference"), QStringLiteral("Microsoft Outlook"),
                                                            QStringLiteral("--reference"), completed});
    m_outlookPeer->control({{"op", "switches"}, {"versionTextFor", QJsonObject{{completed, "16.99"}}}});
    launchWithProfile(kOutlook15, [](HMProfile &profile) { setAllSelections(profile, QString()); });
    HMDeveloperPrefsWindowController options;
    options.showWindow();
    ASSERT_EQ(options.profile, m_profile) << "not the main window's current profile";
    click(options.ui().useCustomPathCheckbox);
    options.ui().outlookApplicationPathField->setText(custom);
    click(options.ui().okButton);
    ASSERT_TRUE(m_profile->useCustomOutlookApplicationPath());
    openSheet();
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    ASSERT_TRUE(waitForFolders());
    EXPECT_EQ(m_sheet->installedOutlookVersion, QStringLiteral("16.99")) << "the folders tab asked another Outlook";
    clickClose();
}

TEST_F(AdvancedSettingsTest, StalledOutlookKeepsTheWindowLiveThenSaysItDidNotAnswer)
{
    startOutlook(QStringLiteral("16.78"), outlookState());
    m_outlookPeer->control({{"op", "switches"}, {"stall", true}});
    launchWithProfile(kOutlook15, [](HMProfile &profile) { setAllSelections(profile, QString()); });
    openSheet([](HMAdvancedSettingsWindowController &sheet) { sheet.outlookScriptTimeout = std::chrono::seconds(2); });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(50);
    clickTab(QStringLiteral("OutlookFoldersTabView"));
    EXPECT_TRUE(m_sheet->isLoadingOutlookFolders());
    // Once faded in, the overlay is what a person sees while Outlook is asked.
    QElapsedTimer shown;
    shown.start();
    waitUntil([&] { return shown.elapsed() > 850; });
    EXPECT_TRUE(m_sheet->isLoadingOutlookFolders());
    screenshot(QStringLiteral("outlook-folders-loading"));
    screenshot(QStringLiteral("outlook-folders-loading@2x"), 2);
    ASSERT_TRUE(waitForFolders());
    EXPECT_GE(ticks, 5) << "the event loop kept turning while Outlook was asked";
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    EXPECT_EQ(m_alerts->recordedAlerts().first().messageText,
              QStringLiteral("Outlook did not answer. Start Outlook, then open this tab again."));
    clickClose();
}

TEST_F(AdvancedSettingsTest, ScriptInstallationWithScriptedPanels)
{
    launchWithProfile(kOutlook15);
    openSheet();
    const QString folder = HMAdvancedSettingsWindowController::applicationScriptsFolder();
    ASSERT_FALSE(folder.isEmpty());
    const QString installed = folder + QStringLiteral("/automation.scpt");
    QList<int> answers;
    const auto install = [&] {
        m_sheet->installScriptFile([&answers](bool success) { answers.append(success); });
        platform::DispatchQueue::runMainQueueUntilEmpty();
    };

    // Cancel: nothing, no answer.
    {
        platform::ScriptedOpenPanelResponder panels({{platform::NSModalResponseCancel, QString()}});
        install();
        ASSERT_EQ(panels.recordedPanels().size(), 1);
        EXPECT_EQ(panels.recordedPanels().first().prompt, QStringLiteral("Install Script File"));
        EXPECT_EQ(panels.recordedPanels().first().message,
                  QStringLiteral("Please select the User > Library > Application Scripts > Harrowmere folder"));
        EXPECT_EQ(panels.recordedPanels().first().directory, folder);
        EXPECT_TRUE(panels.recordedPanels().first().canChooseDirectories);
        EXPECT_FALSE(panels.recordedPanels().first().canChooseFiles);
        EXPECT_TRUE(answers.isEmpty());
        EXPECT_FALSE(QFile::exists(installed));
    }
    // A wrong folder answers NO and asks again; the second panel picks the right one.
    {
        platform::ScriptedOpenPanelResponder panels(
            {{platform::NSModalResponseOK, m_home->path()}, {platform::NSModalResponseOK, folder}});
        install();
        EXPECT_EQ(panels.recordedPanels().size(), 2);
        EXPECT_EQ(answers, (QList<int>{false, true}));
        ASSERT_FALSE(m_alerts->recordedAlerts().isEmpty());
        EXPECT_EQ(m_alerts->recordedAlerts().last().messageText, QStringLiteral("Script Installed"));
        EXPECT_EQ(m_alerts->recordedAlerts().last().informativeText,
                  QStringLiteral("The Automation script was installed succcessfully."));
        QFile source(platform::Bundle::resourcePath() + QStringLiteral("/automation.scpt"));
        QFile copy(installed);
        ASSERT_TRUE(source.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
        EXPECT_EQ(copy.readAll(), source.readAll());
    }
    // The script is there already: silent, no answer, the file untouched.
    {
        QFile existing(installed);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
        existing.write("user's own\n");
        existing.close();
        const qsizetype alerts = m_alerts->recordedAlerts().size();
        platform::ScriptedOpenPanelResponder panels({{platform::NSModalResponseOK, folder}});
        install();
        EXPECT_EQ(answers.size(), 2);
        EXPECT_EQ(m_alerts->recordedAlerts().size(), alerts);
        QFile check(installed);
        ASSERT_TRUE(check.open(QIODevice::ReadOnly));
        EXPECT_EQ(check.readAll(), QByteArray("user's own\n"));
    }
    clickClose();
}
