#pragma once

#include "app/HMSettingsSheets.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/FormWindowController.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class HMProfile;
class QComboBox;
class QLabel;
namespace Ui {
class HMMainSettingsWindowController;
}

// The main settings sheet: the three choices that define a profile's partnership, the Mac contact
// manager, the device and with it the sync method. From it the user opens the device's own sheet,
// the advanced settings sheet (simplified or full) and the setup guide. The boxes are read-only pick
// lists fed from the sheet's lists; a pick cross-checks the other box (Google is not offered with the
// Mac apps) and redraws the three pictures. OK saves the choices into the profile file; Cancel (and
// Escape, or the window manager's close) writes nothing. The sheet validates nothing.
//
// Made by the main window for its current profile through the maker main registers, and kept by it
// between openings: each opening fills the sheet anew from the profile. Main thread only.
class HMMainSettingsWindowController final
    : public platform::FormWindowController<Ui::HMMainSettingsWindowController>,
      public platform::ComboBoxDataSource
{
    Q_OBJECT

public:
    static constexpr char kSetupGuidePage[] = "https://www.harrowmere.com/support/setup-guide/";

    HMMainSettingsWindowController();

    // ---- Set by the opener before showPanel ----
    std::function<void()> mainSettingsDelegate;
    QPointer<QWidget> parentWindow;
    std::shared_ptr<HMProfile> profile;

    void showPanel();
    void autoSelectContactManagerOnOpen();
    // Selects the entry of that name; a null name means the selected text.
    void autoSelectContactManager(const QString &name);
    void updateContactManagerComboBox();
    bool shouldHideContactManagerApple() const;
    QString getSelectedContactManagerName() const;
    QString getSelectedDeviceName() const;
    void comboBoxSelectionDidChange(QComboBox *comboBox);
    bool checkForInvalidContactManagerListAfterSelectingDevice() const;
    bool checkForInvalidDeviceAfterSelectingContactManager() const;
    bool checkForInvalidContactManagerSelectionAfterSelectingDevice();
    void updateDeviceComboBox();
    void updateBackgroundImages();
    void saveSettings();
    void saveSelectedContactManager();
    void okButonClicked();
    void cancelButtonClicked();
    void closePanel();
    void closeWindow();
    void didEndSheet(int returnCode) override;
    void deviceSettingsButtonClicked();
    void settingsButtonClicked();
    void advancedSettingsButtonClicked();
    void openAdvancedSettings(bool simplified);
    void setupGuideButtonPushed();
    void updateSyncMethods();
    void populateSyncMethodDataSourceArray();
    void updateContactManagersAllowApple(bool allow);

    const QStringList &contactManagerDataSourceArray() const { return m_contactManagerDataSourceArray; }
    const QStringList &deviceDataSourceArray() const { return m_deviceDataSourceArray; }
    const QStringList &syncMethodDataSourceArray() const { return m_syncMethodDataSourceArray; }
    QString lastSelectedContactManager;
    // The sheet opened last from this one, while it lives.
    QObject *modalController() const { return m_modalController.get(); }
    // The picture a view shows, by its resource name.
    static QString imageName(const QLabel &view);
    // The label of a sync method in the sync-method list; empty for methods it does not list.
    static QString syncMethodLabel(quint64 syncMethod);

    qsizetype numberOfItemsInComboBox(QComboBox &comboBox) override;
    QVariant comboBoxObjectValueForItemAtIndex(QComboBox &comboBox, qsizetype index) override;

protected:
    void loadInterface(QDialog &window) override;

private:
    const QStringList *listOf(const QComboBox &comboBox) const;
    void forgetEarlierOpening();
    void selectProfileDevice();
    void setPicture(QLabel &view, const QString &name);
    void saveDevice(HMProfile &edited) const;
    bool saveProfileFile();
    void tellDelegate();
    void openSheet(HMSettingsSheets::Sheet sheet, HMSettingsSheets::Request request = {});

    QStringList m_contactManagerDataSourceArray;
    QStringList m_deviceDataSourceArray;
    QStringList m_syncMethodDataSourceArray;
    std::unique_ptr<QObject> m_modalController;
    bool m_isEnding = false;
};
