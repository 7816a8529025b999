#include "ui/settings/HMPreferencesWindowController.h"

#include "ui_HMGeneralPreferencesViewController.h"
#include "ui_HMPreferences.h"

#include "app/HMAppDelegate.h"
#include "app/HMConfigurationManager.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/KeyRouting.h"
#include "sync/HMConfiguration.h"

#include <QPushButton>
#include <QVBoxLayout>

HMGeneralPreferencesViewController::HMGeneralPreferencesViewController()
    : m_ui(std::make_unique<Ui::HMGeneralPreferencesViewController>())
{
}

HMGeneralPreferencesViewController::~HMGeneralPreferencesViewController() = default;

void HMGeneralPreferencesViewController::loadView()
{
    m_view = std::make_unique<QWidget>();
    m_ui->setupUi(m_view.get());
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    m_configuration = delegate != nullptr ? delegate->configuration() : nullptr;
    m_view->setEnabled(m_configuration != nullptr);
    if (!m_configuration)
        return;
    m_ui->runInBackgroundCheckbox->setChecked(m_configuration->runInBackground());
    m_ui->allowsProfileSelectionCheckbox->setChecked(m_configuration->allowsProfileSelection());
    m_ui->maxProfilesField->setValue(int(m_configuration->maxProfiles()));
    const std::weak_ptr<HMConfiguration> configuration = m_configuration;
    connect(m_ui->runInBackgroundCheckbox, &QCheckBox::toggled, this, [configuration](bool on) {
        if (const auto edited = configuration.lock())
            edited->setRunInBackground(on);
    });
    connect(m_ui->allowsProfileSelectionCheckbox, &QCheckBox::toggled, this, [configuration](bool on) {
        if (const auto edited = configuration.lock())
            edited->setAllowsProfileSelection(on);
    });
    connect(m_ui->maxProfilesField, &QSpinBox::valueChanged, this, [configuration](int value) {
        if (const auto edited = configuration.lock())
            edited->setMaxProfiles(value);
    });
}

void HMGeneralPreferencesViewController::preferencesDidClose()
{
    if (!m_configuration)
        return;
    if (const platform::Status saved = HMConfigurationManager::saveConfigurationFileForCurrentApplication(*m_configuration); !saved)
        DDLogError(QStringLiteral("The configuration could not be saved: %1").arg(saved.error().message()));
}

HMPreferencesWindowController::HMPreferencesWindowController()
    : FormWindowController(QStringLiteral("HMPreferences"))
{
}

void HMPreferencesWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    const auto closeWindow = [this] {
        windowWillClose();
        this->window()->hide();
    };
    connect(m_ui->closeButton, &QPushButton::clicked, this, closeWindow);
    platform::routeEscapeAndClose(window, closeWindow);
}

void HMPreferencesWindowController::windowDidLoad()
{
    m_pane = std::make_unique<HMGeneralPreferencesViewController>();
    m_pane->loadView();
    auto *const layout = new QVBoxLayout(m_ui->paneArea);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pane->view());
}

void HMPreferencesWindowController::windowWillClose()
{
    if (m_pane)
        m_pane->preferencesDidClose();
}
