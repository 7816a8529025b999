#include "ui/settings/HMMainSettingsWindowController.h"

#include "ui_HMMainSettingsWindowController.h"

#include "app/HMAppDelegate.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Image.h"
#include "platform/appkit/KeyRouting.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/KeyedArchiver.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QComboBox>
#include <QHash>
#include <QIcon>
#include <QLabel>

#include <cstdio>

namespace {

const QString kContactManagerPrompt = QStringLiteral("Select your PC database");
const QString kMacApps = QStringLiteral("Mac Apps");
const QString kOutlook2011 = QStringLiteral("Microsoft Outlook 2011");
const QString kOutlook2016 = QStringLiteral("Microsoft Outlook 2016");
const QString kGoogle = QStringLiteral("Google");
const QString kGoogleViaQuillnest = QStringLiteral("Google via Quillnest");
const QString kQuillnest = QStringLiteral("Quillnest");
const QString kAndroidViaUsb = QStringLiteral("Android via USB");
const QString kAndroidViaWiFi = QStringLiteral("Android via WiFi");
const QString kAndroidViaQuillnest = QStringLiteral("Android via Quillnest");
const QString kSelectSyncMethod = QStringLiteral("Select your sync method");
const QString kGoogleDeviceType = QStringLiteral("google_devicetype");
const QString kQuillnestMethodName = QStringLiteral("quill_nest_sync_method");
const char kImageNameProperty[] = "imageName";
constexpr int kPictureSize = 80;

QStringList fullContactManagerList()
{
    return {kContactManagerPrompt, kMacApps, kOutlook2011, kOutlook2016};
}

QStringList deviceList()
{
    return {QStringLiteral("Select the device you want to sync with..."),
            kGoogle,
            kGoogleViaQuillnest,
            kQuillnest,
            kAndroidViaUsb,
            kAndroidViaWiFi,
            kAndroidViaQuillnest};
}

// The popup's contact-manager entries with the manager's name each writes into the profile; the
// profile tells the manager of a name.
struct ContactManagerEntry
{
    const QString &entry;
    const char *name;
};
const ContactManagerEntry kContactManagerEntries[] = {
    {kMacApps, "ContactManagerApple"},
    {kOutlook2011, "ContactManagerOutlook14"},
    {kOutlook2016, "ContactManagerOutlook15"},
};

// What a contact-manager entry writes into the profile; the prompt and unknown texts give "" and 0.
std::pair<QString, HMContactManager> contactManagerForEntry(const QString &entry)
{
    for (const ContactManagerEntry &known : kContactManagerEntries) {
        if (known.entry == entry)
            return {QLatin1String(known.name), contactManagerForName(QLatin1String(known.name))};
    }
    return {QString(), HMContactManager::None};
}

// The entry of a profile's contact manager; the prompt for none.
QString entryForContactManager(HMContactManager manager)
{
    for (const ContactManagerEntry &known : kContactManagerEntries) {
        if (contactManagerForName(QLatin1String(known.name)) == manager)
            return known.entry;
    }
    return kContactManagerPrompt;
}

void setMethod(HMProfile &profile, HMSyncMethod method, const QString &name)
{
    // The number first, then the name, from which the profile derives the number again.
    profile.setSyncMethod(method);
    profile.setSyncMethodName(name);
}

} // namespace

HMMainSettingsWindowController::HMMainSettingsWindowController()
    : FormWindowController(QStringLiteral("HMMainSettingsWindowController"))
{
}

void HMMainSettingsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okButonClicked(); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonClicked(); });
    connect(m_ui->deviceSettingsButton, &QPushButton::clicked, this, [this] { deviceSettingsButtonClicked(); });
    connect(m_ui->settingsButton, &QPushButton::clicked, this, [this] { settingsButtonClicked(); });
    connect(m_ui->advancedSettingsButton, &QPushButton::clicked, this, [this] { advancedSettingsButtonClicked(); });
    connect(m_ui->setupGuideButton, &QPushButton::clicked, this, [this] { setupGuideButtonPushed(); });
    for (QComboBox *const box : {m_ui->contactManagerComboBox, m_ui->deviceComboBox}) {
        connect(box, &QComboBox::activated, this, [this, box] { comboBoxSelectionDidChange(box); });
    }
    // Escape and the window manager's close request are the Cancel button.
    platform::routeEscapeAndClose(window, [this] { cancelButtonClicked(); });
    for (QWidget *const view : {static_cast<QWidget *>(m_ui->imageWell), static_cast<QWidget *>(m_ui->contactManagerImageView),
                                static_cast<QWidget *>(m_ui->syncMethodImageView),
                                static_cast<QWidget *>(m_ui->syncDestinationImageView)}) {
        view->setAutoFillBackground(true);
        QPalette palette = view->palette();
        palette.setColor(QPalette::Window, Qt::white);
        view->setPalette(palette);
    }
}

// ---- Opening ----

// Opens the sheet for the profile. A sheet shown before is filled anew: nothing of an earlier opening
// stays (a pick Cancel left, the button USB hid, the lists, a sheet opened from it).
void HMMainSettingsWindowController::showPanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    m_isEnding = false;
    forgetEarlierOpening();
    window();
    beginSheet(parentWindow);
    updateContactManagerComboBox();
    m_deviceDataSourceArray = deviceList();
    platform::setDataSource(*m_ui->deviceComboBox, this);
    selectProfileDevice();
    setPicture(*m_ui->contactManagerImageView, QStringLiteral("none-pc.png"));
    setPicture(*m_ui->syncMethodImageView, QStringLiteral("method-none.png"));
    setPicture(*m_ui->syncDestinationImageView, QStringLiteral("none-device.png"));
    updateBackgroundImages();
    m_ui->contactManagerComboBox->setFocus();
}

void HMMainSettingsWindowController::forgetEarlierOpening()
{
    m_modalController.reset();
    lastSelectedContactManager = QString();
    // Until the device list is filled again, the Mac apps are left out by the profile's device.
    m_deviceDataSourceArray.clear();
    m_contactManagerDataSourceArray.clear();
    m_syncMethodDataSourceArray.clear();
    if (!isWindowLoaded())
        return;
    m_ui->syncMethodComboBox->clear();
    m_ui->deviceSettingsButton->setVisible(true);
}

// The profile's device by its type name and method; USB also hides the device settings button until
// the sheet ends.
void HMMainSettingsWindowController::selectProfileDevice()
{
    const QString typeName = profile->deviceTypeName();
    const HMSyncMethod method = profile->syncMethod();
    QString entry;
    if (typeName == kGoogleDeviceType) {
        entry = method == HMSyncMethod::Quillnest ? kGoogleViaQuillnest : kGoogle;
    } else if (typeName == QLatin1String("quillnest_devicetype")) {
        entry = kQuillnest;
    } else if (typeName == QLatin1String("android")) {
        if (method == HMSyncMethod::Quillnest)
            entry = kAndroidViaQuillnest;
        else if (method == HMSyncMethod::WiFi)
            entry = kAndroidViaWiFi;
        else if (method == HMSyncMethod::Adb) {
            entry = kAndroidViaUsb;
            m_ui->deviceSettingsButton->hide();
        }
    }
    platform::selectItemAtIndex(*m_ui->deviceComboBox, std::max<qsizetype>(0, m_deviceDataSourceArray.indexOf(entry)));
}

void HMMainSettingsWindowController::autoSelectContactManagerOnOpen()
{
    autoSelectContactManager(entryForContactManager(profile ? profile->contactManager() : HMContactManager::None));
}

void HMMainSettingsWindowController::autoSelectContactManager(const QString &name)
{
    const QString wanted = name.isNull() ? getSelectedContactManagerName() : name;
    qsizetype index = 0;
    if (contactManagerForEntry(wanted).second != HMContactManager::None)
        index = std::max<qsizetype>(0, m_contactManagerDataSourceArray.indexOf(wanted));
    if (index < m_contactManagerDataSourceArray.size())
        platform::selectItemAtIndex(*m_ui->contactManagerComboBox, index);
}

void HMMainSettingsWindowController::updateContactManagerComboBox()
{
    m_contactManagerDataSourceArray = fullContactManagerList();
    if (shouldHideContactManagerApple())
        m_contactManagerDataSourceArray.removeAll(kMacApps);
    // A read-only pick list fed from the list.
    platform::setDataSource(*m_ui->contactManagerComboBox, this);
}

bool HMMainSettingsWindowController::shouldHideContactManagerApple() const
{
    if (!isWindowLoaded() || m_deviceDataSourceArray.isEmpty())
        return profile && profile->deviceType() == HMDeviceType::Google;
    const qsizetype index = platform::indexOfSelectedItem(*m_ui->deviceComboBox);
    return index >= 0 && index < m_deviceDataSourceArray.size() && m_deviceDataSourceArray.at(index) == kGoogle;
}

QString HMMainSettingsWindowController::getSelectedContactManagerName() const
{
    const qsizetype index = platform::indexOfSelectedItem(*m_ui->contactManagerComboBox);
    return index >= 0 && index < m_contactManagerDataSourceArray.size() ? m_contactManagerDataSourceArray.at(index)
                                                                        : QStringLiteral("");
}

QString HMMainSettingsWindowController::getSelectedDeviceName() const
{
    const qsizetype index = platform::indexOfSelectedItem(*m_ui->deviceComboBox);
    return index >= 0 && index < m_deviceDataSourceArray.size() ? m_deviceDataSourceArray.at(index) : QStringLiteral("");
}

// ---- Cross-checks after a pick ----

void HMMainSettingsWindowController::comboBoxSelectionDidChange(QComboBox *comboBox)
{
    if (comboBox == m_ui->deviceComboBox) {
        if (checkForInvalidContactManagerSelectionAfterSelectingDevice())
            autoSelectContactManager(QString());
        if (checkForInvalidContactManagerListAfterSelectingDevice()) {
            const QString remembered = getSelectedContactManagerName();
            updateContactManagerComboBox();
            autoSelectContactManager(remembered);
        }
    } else if (comboBox == m_ui->contactManagerComboBox && checkForInvalidDeviceAfterSelectingContactManager()) {
        updateDeviceComboBox();
    }
    updateBackgroundImages();
}

bool HMMainSettingsWindowController::checkForInvalidContactManagerListAfterSelectingDevice() const
{
    if (m_contactManagerDataSourceArray.isEmpty())
        return getSelectedDeviceName() != kGoogle;
    const bool holdsApple = m_contactManagerDataSourceArray.contains(kMacApps);
    return getSelectedDeviceName() == kGoogle ? holdsApple : !holdsApple;
}

bool HMMainSettingsWindowController::checkForInvalidDeviceAfterSelectingContactManager() const
{
    return checkForInvalidContactManagerListAfterSelectingDevice();
}

bool HMMainSettingsWindowController::checkForInvalidContactManagerSelectionAfterSelectingDevice()
{
    if (getSelectedDeviceName() != kGoogle || getSelectedContactManagerName() != kMacApps)
        return false;
    platform::selectItemAtIndex(*m_ui->contactManagerComboBox, 0);
    return true;
}

// The device box keeps its list and selection; the sync-method box is refilled from its list.
void HMMainSettingsWindowController::updateDeviceComboBox()
{
    platform::reloadData(*m_ui->deviceComboBox);
    populateSyncMethodDataSourceArray();
    m_ui->syncMethodComboBox->addItems(m_syncMethodDataSourceArray);
}

// ---- Pictures ----

void HMMainSettingsWindowController::updateBackgroundImages()
{
    const QString manager = getSelectedContactManagerName();
    if (manager == kMacApps)
        setPicture(*m_ui->contactManagerImageView, QStringLiteral("generic-pc.png"));
    else if (manager == kOutlook2011 || manager == kOutlook2016)
        setPicture(*m_ui->contactManagerImageView, QStringLiteral("outlook.png"));
    else
        setPicture(*m_ui->contactManagerImageView, QStringLiteral("none-pc.png"));
    const QString device = getSelectedDeviceName();
    if (device.contains(kQuillnest))
        setPicture(*m_ui->syncMethodImageView, QStringLiteral("method-qns.png"));
    else if (device == kGoogle)
        setPicture(*m_ui->syncMethodImageView, QStringLiteral("method-direct.png"));
    else if (device.contains(QStringLiteral("WiFi")))
        setPicture(*m_ui->syncMethodImageView, QStringLiteral("method-wifi.png"));
    else if (device.contains(QStringLiteral("USB")))
        setPicture(*m_ui->syncMethodImageView, QStringLiteral("method-usb.png"));
    if (device == kQuillnest)
        setPicture(*m_ui->syncDestinationImageView, QStringLiteral("quillnest.png"));
    else if (device.contains(kGoogle))
        setPicture(*m_ui->syncDestinationImageView, QStringLiteral("google.png"));
    else if (device.contains(QStringLiteral("Android")))
        setPicture(*m_ui->syncDestinationImageView, QStringLiteral("android.png"));
}

// The picture at 1x and 2x, drawn at the screen's scale. Each is decoded once for the process (main
// thread only), as every opening shows six of them.
void HMMainSettingsWindowController::setPicture(QLabel &view, const QString &name)
{
    static QHash<QString, QIcon> decoded;
    view.setProperty(kImageNameProperty, name);
    auto found = decoded.find(name);
    if (found == decoded.end()) {
        QIcon icon;
        const QString base = name.chopped(4);
        for (const QString &file : {name, base + QStringLiteral("@2x.png")}) {
            const platform::Image image = platform::Image::imageNamed(file);
            if (!image.isNull())
                icon.addPixmap(QPixmap::fromImage(image.image()).scaled(QSize(kPictureSize, kPictureSize) * (file == name ? 1 : 2)));
        }
        found = decoded.insert(name, icon);
    }
    view.setPixmap(found->pixmap(QSize(kPictureSize, kPictureSize), view.devicePixelRatioF()));
}

QString HMMainSettingsWindowController::imageName(const QLabel &view)
{
    return view.property(kImageNameProperty).toString();
}

// ---- Saving and ending ----

void HMMainSettingsWindowController::saveSettings()
{
    const auto [name, manager] = contactManagerForEntry(getSelectedContactManagerName());
    profile->setContactManagerName(name);
    profile->setContactManager(manager);
    const qsizetype index = platform::indexOfSelectedItem(*m_ui->deviceComboBox);
    if (index >= 0 && index < m_deviceDataSourceArray.size())
        saveDevice(*profile);
    saveProfileFile();
}

void HMMainSettingsWindowController::saveDevice(HMProfile &edited) const
{
    const QString entry = getSelectedDeviceName();
    edited.setDeviceTypeName(QStringLiteral(""));
    if (entry.contains(kGoogle)) {
        edited.setDeviceTypeName(kGoogleDeviceType);
        if (entry.contains(QStringLiteral("via Quillnest")))
            setMethod(edited, HMSyncMethod::Quillnest, kQuillnestMethodName);
        else
            setMethod(edited, HMSyncMethod::GoogleDirect, QStringLiteral("direct_sync_method"));
    } else if (entry == kQuillnest) {
        edited.setDeviceTypeName(QStringLiteral("quillnest_devicetype"));
        setMethod(edited, HMSyncMethod::Quillnest, kQuillnestMethodName);
    } else if (entry.contains(QStringLiteral("Android"))) {
        edited.setDeviceTypeName(QStringLiteral("android"));
        if (entry.contains(QStringLiteral("via Quillnest")))
            setMethod(edited, HMSyncMethod::Quillnest, kQuillnestMethodName);
        else if (entry.contains(QStringLiteral("via USB")))
            setMethod(edited, HMSyncMethod::Adb, QStringLiteral("adb"));
        else if (entry.contains(QStringLiteral("via WiFi")))
            setMethod(edited, HMSyncMethod::WiFi, QStringLiteral("wifi"));
    } else {
        setMethod(edited, HMSyncMethod::None, QStringLiteral("none"));
        edited.setDeviceTypeName(QStringLiteral(""));
    }
}

void HMMainSettingsWindowController::saveSelectedContactManager()
{
    const auto [name, manager] = contactManagerForEntry(getSelectedContactManagerName());
    if (manager != HMContactManager::None)
        profile->setContactManagerName(name);
    profile->setContactManager(manager);
    // When neither this step nor the window changed the profile, the manager finds the file holds it
    // already and writes nothing.
    saveProfileFile();
}

bool HMMainSettingsWindowController::saveProfileFile()
{
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    if (delegate == nullptr || !delegate->profileManager()) {
        DDLogError(QStringLiteral("No profile manager: the profile '%1' was not saved").arg(profile->name()));
        return false;
    }
    if (!delegate->profileManager()->saveProfile(*profile)) {
        DDLogError(QStringLiteral("The profile '%1' could not be saved").arg(profile->name()));
        return false;
    }
    return true;
}

void HMMainSettingsWindowController::tellDelegate()
{
    if (mainSettingsDelegate)
        mainSettingsDelegate();
}

void HMMainSettingsWindowController::okButonClicked()
{
    if (m_isEnding)
        return;
    // From here on the sheet is ending: a second press is ignored.
    m_isEnding = true;
    saveSettings();
    tellDelegate();
    saveSelectedContactManager();
    closeWindow();
}

void HMMainSettingsWindowController::cancelButtonClicked()
{
    if (m_isEnding)
        return;
    tellDelegate();
    closeWindow();
}

void HMMainSettingsWindowController::closePanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    closeWindow();
}

void HMMainSettingsWindowController::closeWindow()
{
    m_isEnding = true;
    endSheet(platform::NSModalResponseOK);
}

void HMMainSettingsWindowController::didEndSheet(int)
{
    m_isEnding = true;
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    window()->hide();
}

// ---- The sheets opened from this one ----

void HMMainSettingsWindowController::deviceSettingsButtonClicked()
{
    saveSettings();
    if (const auto sheet = HMSettingsSheets::deviceSheet(profile->syncMethod(), profile->deviceType()))
        openSheet(*sheet);
}

void HMMainSettingsWindowController::settingsButtonClicked()
{
    saveSettings();
    openAdvancedSettings(true);
}

void HMMainSettingsWindowController::advancedSettingsButtonClicked()
{
    saveSettings();
    openAdvancedSettings(false);
}

void HMMainSettingsWindowController::openAdvancedSettings(bool simplified)
{
    const QString manager = getSelectedContactManagerName();
    HMSettingsSheets::Request request;
    request.isSimplified = simplified;
    request.isConfiguredForOutlook = manager.contains(QStringLiteral("Outlook"), Qt::CaseInsensitive);
    request.configuredOutlookVersion = HMSettingsSheets::outlookVersionForTitle(manager);
    openSheet(HMSettingsSheets::Sheet::AdvancedSettings, std::move(request));
}

void HMMainSettingsWindowController::openSheet(HMSettingsSheets::Sheet sheet, HMSettingsSheets::Request request)
{
    request.parentWindow = window();
    request.profile = profile;
    if (QWidget *const focused = window()->focusWidget())
        focused->clearFocus();
    m_modalController = HMSettingsSheets::open(sheet, request);
}

void HMMainSettingsWindowController::setupGuideButtonPushed()
{
    const QUrl page(QString::fromLatin1(kSetupGuidePage));
    if (!platform::Workspace::sharedWorkspace().openURL(page))
        std::fprintf(stderr, "%s\n", qPrintable(QStringLiteral("Failed to open url: %1").arg(page.toString())));
}

// ---- The sync-method box (the device entry carries the method; nothing fills it on its own) ----

QString HMMainSettingsWindowController::syncMethodLabel(quint64 syncMethod)
{
    switch (HMSyncMethod(syncMethod)) {
    case HMSyncMethod::WiFi: return QStringLiteral("Sync via WiFi");
    case HMSyncMethod::Adb: return QStringLiteral("Sync via USB");
    case HMSyncMethod::GoogleDirect: return QStringLiteral("Direct");
    case HMSyncMethod::Quillnest: return QStringLiteral("Sync via Quillnest");
    default: return QStringLiteral("");
    }
}

void HMMainSettingsWindowController::updateSyncMethods()
{
    populateSyncMethodDataSourceArray();
    QComboBox &box = *m_ui->syncMethodComboBox;
    box.clear();
    box.addItems(m_syncMethodDataSourceArray);
    const qsizetype index = m_syncMethodDataSourceArray.indexOf(syncMethodLabel(quint64(profile->syncMethod())));
    box.setCurrentIndex(int(std::max<qsizetype>(0, index)));
}

void HMMainSettingsWindowController::populateSyncMethodDataSourceArray()
{
    m_syncMethodDataSourceArray = {kSelectSyncMethod};
    m_ui->syncMethodComboBox->setEnabled(false);
    const QString device = m_ui->deviceComboBox->currentText();
    if (device.isEmpty())
        return;
    if (device == kGoogle)
        m_syncMethodDataSourceArray = {kSelectSyncMethod, QStringLiteral("Direct"), QStringLiteral("Sync via Quillnest")};
    else if (device == kQuillnest)
        m_syncMethodDataSourceArray = {QStringLiteral("Sync via Quillnest")};
    else if (device == QLatin1String("Android"))
        m_syncMethodDataSourceArray = {kSelectSyncMethod, QStringLiteral("Sync via USB"), QStringLiteral("Sync via Quillnest"),
                                       QStringLiteral("Sync via WiFi")};
    m_ui->syncMethodComboBox->setEnabled(true);
}

void HMMainSettingsWindowController::updateContactManagersAllowApple(bool allow)
{
    if (allow == m_contactManagerDataSourceArray.contains(kMacApps))
        return;
    const QString title = m_ui->contactManagerComboBox->currentText();
    const bool was2016 = title.contains(QStringLiteral("Outlook 2016"), Qt::CaseInsensitive);
    const bool was2011 = !was2016 && title.contains(QStringLiteral("Outlook 2011"), Qt::CaseInsensitive);
    m_contactManagerDataSourceArray = fullContactManagerList();
    if (!allow)
        m_contactManagerDataSourceArray.removeAll(kMacApps);
    platform::setDataSource(*m_ui->contactManagerComboBox, this);
    if (!was2016 && !was2011 && lastSelectedContactManager.isNull())
        return;
    qsizetype index = -1;
    if (lastSelectedContactManager == kMacApps && !allow)
        index = 0;
    for (qsizetype i = 0; index < 0 && i < m_contactManagerDataSourceArray.size(); ++i) {
        const QString &entry = m_contactManagerDataSourceArray.at(i);
        if ((was2016 && entry.contains(QStringLiteral("Outlook 2016"))) || (was2011 && entry.contains(QStringLiteral("Outlook 2011")))
            || (!was2016 && !was2011 && entry == lastSelectedContactManager))
            index = i;
    }
    platform::selectItemAtIndex(*m_ui->contactManagerComboBox, std::max<qsizetype>(0, index));
}

// ---- The boxes' data source ----

const QStringList *HMMainSettingsWindowController::listOf(const QComboBox &comboBox) const
{
    if (&comboBox == m_ui->contactManagerComboBox)
        return &m_contactManagerDataSourceArray;
    if (&comboBox == m_ui->deviceComboBox)
        return &m_deviceDataSourceArray;
    if (&comboBox == m_ui->syncMethodComboBox)
        return &m_syncMethodDataSourceArray;
    return nullptr;
}

qsizetype HMMainSettingsWindowController::numberOfItemsInComboBox(QComboBox &comboBox)
{
    const QStringList *const list = listOf(comboBox);
    return list != nullptr ? list->size() : 0;
}

QVariant HMMainSettingsWindowController::comboBoxObjectValueForItemAtIndex(QComboBox &comboBox, qsizetype index)
{
    const QStringList *const list = listOf(comboBox);
    if (list == nullptr || index < 0 || index >= list->size())
        return {};
    return list->at(index);
}
