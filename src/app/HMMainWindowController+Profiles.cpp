// The main window's sheets: the manage-profiles sheet and the main settings sheet, and what runs when
// any sheet of the window ends.
#include "app/HMMainWindowController.h"

#include "ui_HMManageProfilesPanel.h"

#include "app/HMAppDelegate.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Sheet.h"
#include "platform/foundation/Bundle.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

void HMMainWindowController::manageProfilesSelected()
{
    window();
    if (!m_profileManagerPanel) {
        m_profileManagerPanel = std::make_unique<QDialog>(window());
        m_panelUi->setupUi(m_profileManagerPanel.get());
        QTableWidget *const table = m_panelUi->profileTable;
        table->setHorizontalHeaderLabels({platform::Bundle::localizedString(QStringLiteral("profile_name"), QStringLiteral("Profile Name")),
                                          platform::Bundle::localizedString(QStringLiteral("device"), QStringLiteral("Device")),
                                          platform::Bundle::localizedString(QStringLiteral("sync_method"), QStringLiteral("Sync Method"))});
        table->horizontalHeader()->setStretchLastSection(true);
        m_panelUi->okayButton->setText(platform::Bundle::localizedString(QStringLiteral("okay"), QStringLiteral("Okay")));
        m_panelUi->deleteButton->setText(platform::Bundle::localizedString(QStringLiteral("delete"), QStringLiteral("Delete")));
        m_panelUi->addButton->setText(platform::Bundle::localizedString(QStringLiteral("add"), QStringLiteral("Add")));
        connect(m_panelUi->okayButton, &QPushButton::clicked, this, [this] { closeManageProfilesSheet(); });
        connect(m_panelUi->addButton, &QPushButton::clicked, this, [this] { newProfile(); });
        connect(m_panelUi->deleteButton, &QPushButton::clicked, this, [this] { deleteProfile(); });
        connect(table, &QTableWidget::currentCellChanged, this, [this](int row) {
            if (!m_isUpdatingProfileList && row >= 0 && row != m_selectionIndex)
                selectProfileAtIndex(row);
        });
        connect(m_profileManagerPanel.get(), &QDialog::rejected, this, [this] { windowDidEndSheet(); });
    }
    refreshProfileList();
    platform::attachSheet(*m_profileManagerPanel, *window());
    m_profileManagerPanel->show();
}

void HMMainWindowController::closeManageProfilesSheet()
{
    if (!m_profileManagerPanel || !m_profileManagerPanel->isVisible())
        return;
    m_profileManagerPanel->hide();
    platform::detachSheet(*m_profileManagerPanel);
    windowDidEndSheet();
}

void HMMainWindowController::newProfile()
{
    if (addDefaultProfile())
        refreshProfileList();
}

void HMMainWindowController::deleteProfile()
{
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile)
        return;
    m_profiles.removeAt(m_selectionIndex);
    if (m_profileManager && !m_profileManager->deleteProfile(*profile))
        DDLogError(QStringLiteral("The profile file of %1 could not be deleted").arg(profile->name()));
    if (m_profiles.isEmpty())
        addDefaultProfile();
    m_appDelegate.setProfiles(m_profiles);
    m_selectionIndex = qMin(m_selectionIndex, m_profiles.size() - 1);
    m_currentProfile = selectedProfile();
    refreshProfileList();
    updateProfileDisplay();
}

bool HMMainWindowController::hasOpenSheet()
{
    for (const QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && platform::isSheetOf(*widget, *window()))
            return true;
    }
    return false;
}

// Any sheet of the window ended: the phone may start syncs again and the window loads its profile anew.
void HMMainWindowController::windowDidEndSheet()
{
    m_didStartSync = false;
    // Past start-up the reload's trace lines are written together, once, rather than the whole trace
    // file once per line.
    startReloadTrace();
    m_isReloading = true;
    loadSteps();
    m_isReloading = false;
    writeTraceFile();
}
