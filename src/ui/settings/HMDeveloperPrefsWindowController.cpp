#include "ui/settings/HMDeveloperPrefsWindowController.h"

#include "ui_HMDeveloperPrefsWindowController.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "platform/appkit/KeyRouting.h"
#include "platform/appkit/OpenPanel.h"
#include "sync/HMProfile.h"

HMDeveloperPrefsWindowController::HMDeveloperPrefsWindowController()
    : FormWindowController(QStringLiteral("HMDeveloperPrefsWindowController"))
{
}

void HMDeveloperPrefsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { pressedOK(); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { pressedCancel(); });
    connect(m_ui->chooseFileButton, &QPushButton::clicked, this, [this] { buttonPushed(); });
    connect(m_ui->useCustomPathCheckbox, &QCheckBox::clicked, this, [this] { useCustomPathBoxSelected(); });
    platform::routeEscapeAndClose(window, [this] { pressedCancel(); });
}

void HMDeveloperPrefsWindowController::windowDidLoad()
{
    if (!profile) {
        profileController = GlobalVariables::getCurrentProfileController();
        if (profileController) {
            const auto arranged = profileController->arrangedObjects();
            const qsizetype index = profileController->selectionIndex();
            if (index >= 0 && index < qsizetype(arranged.size()))
                profile = arranged.at(size_t(index));
        }
    }
    m_ui->useCustomPathCheckbox->setChecked(false);
    m_ui->chooseFileButton->setEnabled(false);
    m_ui->outlookApplicationPathField->setEnabled(false);
    if (!profile)
        return;
    m_ui->outlookApplicationPathField->setText(profile->outlookApplicationPathSetting());
    if (profile->useCustomOutlookApplicationPath()) {
        m_ui->useCustomPathCheckbox->setChecked(true);
        useCustomPathBoxSelected();
    }
}

void HMDeveloperPrefsWindowController::useCustomPathBoxSelected()
{
    const bool isOn = m_ui->useCustomPathCheckbox->checkState() != Qt::Unchecked;
    m_ui->chooseFileButton->setEnabled(isOn);
    m_ui->outlookApplicationPathField->setEnabled(isOn);
}

// A modal chooser of files and folders (an application bundle is a folder); cancelling, or an answer
// without a path, leaves the field as it was.
void HMDeveloperPrefsWindowController::buttonPushed()
{
    platform::OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(true);
    if (panel.runModal() == platform::NSModalResponseOK && !panel.path().isEmpty())
        m_ui->outlookApplicationPathField->setText(panel.path());
}

void HMDeveloperPrefsWindowController::pressedOK()
{
    if (profile) {
        profile->setOutlookApplicationPathSetting(m_ui->outlookApplicationPathField->text());
        profile->setUseCustomOutlookApplicationPath(m_ui->useCustomPathCheckbox->isChecked());
    }
    window()->hide();
}

void HMDeveloperPrefsWindowController::pressedCancel()
{
    window()->hide();
}
