#pragma once

#include "platform/appkit/WindowController.h"

#include <memory>

namespace Ui {
class TestWindowController;
}

// A small controller over its own interface file, as the application's controllers are built.
class TestWindowController final : public platform::WindowController
{
    Q_OBJECT

public:
    explicit TestWindowController(platform::WindowKind kind = platform::WindowKind::Panel);
    ~TestWindowController() override;

    int windowDidLoadCount() const { return m_windowDidLoadCount; }
    Ui::TestWindowController &ui() { return *m_ui; }

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    std::unique_ptr<Ui::TestWindowController> m_ui;
    int m_windowDidLoadCount = 0;
};
