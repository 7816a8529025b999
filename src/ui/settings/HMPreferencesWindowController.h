#pragma once

#include "platform/appkit/FormWindowController.h"

#include <QWidget>

#include <memory>

class HMConfiguration;
namespace Ui {
class HMGeneralPreferencesViewController;
class HMPreferences;
}

// What a preferences pane is told when the window closes.
class HMPreferencesViewController
{
public:
    virtual ~HMPreferencesViewController() = default;
    virtual void preferencesDidClose() = 0;
};

// The general pane: the application configuration's user options, edited live on the object the
// application delegate holds; written to the configuration file when the window closes.
class HMGeneralPreferencesViewController final : public QObject, public HMPreferencesViewController
{
    Q_OBJECT

public:
    HMGeneralPreferencesViewController();
    ~HMGeneralPreferencesViewController() override;

    // Builds the pane's view from its interface file and binds it to the delegate's configuration.
    void loadView();
    QWidget *view() const { return m_view.get(); }
    std::shared_ptr<HMConfiguration> configuration() const { return m_configuration; }
    void preferencesDidClose() override;
    Ui::HMGeneralPreferencesViewController &ui() { return *m_ui; }

private:
    std::unique_ptr<Ui::HMGeneralPreferencesViewController> m_ui;
    std::unique_ptr<QWidget> m_view;
    std::shared_ptr<HMConfiguration> m_configuration;
};

// The application's preferences window with its one pane. Closing it (its close button, Escape or the
// window manager) saves the configuration, changed or not. Main thread only.
class HMPreferencesWindowController final : public platform::FormWindowController<Ui::HMPreferences>
{
    Q_OBJECT

public:
    HMPreferencesWindowController();

    HMGeneralPreferencesViewController *generalPreferencesViewController() const { return m_pane.get(); }
    void windowWillClose();

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    std::unique_ptr<HMGeneralPreferencesViewController> m_pane;
};
