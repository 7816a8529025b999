#include "TestWindowController.h"

#include "ui_TestWindowController.h"

#include "platform/appkit/View.h"

TestWindowController::TestWindowController(platform::WindowKind kind)
    : platform::WindowController(QStringLiteral("TestWindowController"), kind),
      m_ui(std::make_unique<Ui::TestWindowController>())
{
}

TestWindowController::~TestWindowController() = default;

void TestWindowController::loadInterface(QDialog &window)
{
    m_ui->setupUi(&window);
}

void TestWindowController::windowDidLoad()
{
    ++m_windowDidLoadCount;
    if (auto *label = qobject_cast<QLabel *>(viewWithTag(1001)))
        label->setText(QStringLiteral("Loaded"));
}
