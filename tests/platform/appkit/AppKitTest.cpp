#include "TestWindowController.h"
#include "ui_TestWindowController.h"

#include "platform/appkit/Alert.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/View.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <optional>

using namespace platform;

namespace {

TEST(WindowControllerTest, LoadsItsInterfaceOnceAndFindsControlsByTagAndName)
{
    TestWindowController controller;
    EXPECT_FALSE(controller.isWindowLoaded());
    EXPECT_EQ(controller.windowDidLoadCount(), 0);

    QDialog *const window = controller.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controller.window(), window);
    EXPECT_EQ(controller.windowDidLoadCount(), 1);
    EXPECT_EQ(window->objectName(), QStringLiteral("TestWindowController"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Test Window"));

    auto *const label = qobject_cast<QLabel *>(controller.viewWithTag(1001));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QStringLiteral("Loaded"));
    EXPECT_EQ(controller.viewWithTag(1002), controller.ui().nameField);
    EXPECT_EQ(controller.viewWithTag(7), controller.outlet<QPushButton>(QStringLiteral("okButton")));
    EXPECT_EQ(controller.viewWithTag(4242), nullptr);
    EXPECT_EQ(controller.outlet<QLabel>(QStringLiteral("okButton")), nullptr);
    EXPECT_EQ(tag(*controller.ui().okButton), 7);

    QWidget loose;
    EXPECT_EQ(tag(loose), 0);
    setTag(loose, 55);
    EXPECT_EQ(viewWithTag(&loose, 55), &loose);
}

TEST(WindowControllerTest, SheetIsModalOnItsParentAndEndsWithTheCodeInItsHandler)
{
    QWidget parent;
    parent.resize(400, 300);
    parent.show();
    TestWindowController controller;
    std::optional<int> returnCode;
    controller.beginSheet(&parent, [&](int code) { returnCode = code; });

    QDialog *const sheet = controller.window();
    EXPECT_TRUE(controller.isSheetOpen());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    ASSERT_NE(sheet->windowHandle(), nullptr);
    EXPECT_EQ(sheet->windowHandle()->transientParent(), parent.windowHandle());
    EXPECT_EQ(controller.sheetParent(), &parent);
    EXPECT_FALSE(returnCode.has_value());

    controller.ui().nameField->setText(QStringLiteral("typed"));
    controller.endSheet(NSModalResponseOK);
    EXPECT_EQ(returnCode, NSModalResponseOK);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(controller.isSheetOpen());
    EXPECT_EQ(sheet->windowHandle()->transientParent(), nullptr);

    // Ending twice calls nothing; Escape on a new sheet ends it as a cancel.
    returnCode.reset();
    controller.endSheet(5);
    EXPECT_FALSE(returnCode.has_value());
    controller.beginSheet(&parent, [&](int code) { returnCode = code; });
    sheet->reject();
    EXPECT_EQ(returnCode, NSModalResponseCancel);
    EXPECT_EQ(controller.ui().nameField->text(), QStringLiteral("typed"));
}

TEST(AlertTest, ScriptAnswersAlertsAndRecordsTheirTexts)
{
    ScriptedAlertResponder script({NSAlertSecondButtonReturn, NSAlertFirstButtonReturn});
    Alert question;
    question.setMessageText(QStringLiteral("Pair with this device?"));
    question.setInformativeText(QStringLiteral("It sent an announcement."));
    question.setAlertStyle(AlertStyle::Informational);
    question.addButtonWithTitle(QStringLiteral("Yes"));
    question.addButtonWithTitle(QStringLiteral("Cancel"));
    EXPECT_EQ(question.runModal(), 1001);

    QWidget parent;
    Alert notice;
    notice.setMessageText(QStringLiteral("Done"));
    std::optional<int> sheetCode;
    notice.beginSheetModalForWindow(&parent, [&](int code) { sheetCode = code; });
    EXPECT_FALSE(sheetCode.has_value());
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheetCode.has_value(); })) << "the sheet's handler";
    EXPECT_EQ(sheetCode, 1000);

    // With the script used up, an alert gets its first button's answer.
    EXPECT_EQ(notice.runModal(), 1000);

    const auto alerts = script.recordedAlerts();
    ASSERT_EQ(alerts.size(), 3);
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Pair with this device?"));
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("It sent an announcement."));
    EXPECT_EQ(alerts[0].buttonTitles, QStringList({QStringLiteral("Yes"), QStringLiteral("Cancel")}));
    EXPECT_EQ(alerts[0].alertStyle, AlertStyle::Informational);
    EXPECT_EQ(alerts[0].returnCode, 1001);
    EXPECT_EQ(alerts[1].messageText, QStringLiteral("Done"));
    EXPECT_EQ(script.remainingReturnCodes(), 0);
}

TEST(AlertTest, ShownAlertAnswersTheClickedButtonInOrderAdded)
{
    ASSERT_EQ(ScriptedAlertResponder::current(), nullptr);
    Alert alert;
    alert.setMessageText(QStringLiteral("Choose"));
    alert.addButtonWithTitle(QStringLiteral("One"));
    alert.addButtonWithTitle(QStringLiteral("Two"));
    QAbstractButton *const third = alert.addButtonWithTitle(QStringLiteral("Three"));
    QTimer::singleShot(0, third, [third] { third->click(); });
    EXPECT_EQ(alert.runModal(), NSAlertThirdButtonReturn);

    QWidget parent;
    parent.show();
    std::optional<int> sheetCode;
    alert.beginSheetModalForWindow(&parent, [&](int code) { sheetCode = code; });
    EXPECT_TRUE(alert.messageBox().isVisible());
    EXPECT_EQ(alert.messageBox().windowModality(), Qt::WindowModal);
    alert.buttons().at(1)->click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheetCode.has_value(); })) << "the sheet's handler";
    EXPECT_EQ(sheetCode, NSAlertSecondButtonReturn);

    Alert plain;
    plain.setMessageText(QStringLiteral("No buttons given"));
    QTimer::singleShot(0, &plain.messageBox(), [&] { plain.buttons().front()->click(); });
    EXPECT_EQ(plain.runModal(), NSAlertFirstButtonReturn);
    EXPECT_EQ(plain.buttonTitles(), QStringList({QStringLiteral("OK")}));
}

TEST(ScreenshotTest, WritesAPngOfTheWindowUnderTheBuildFolder)
{
    TestWindowController controller;
    controller.showWindow();
    const Result<QString> path =
        saveScreenshot(*controller.window(), testsupport::binaryDir() + QStringLiteral("/screenshots"),
                       QStringLiteral("appkit-test-window"));
    ASSERT_TRUE(path.ok()) << path.error().message().toStdString();
    EXPECT_TRUE(path->startsWith(testsupport::binaryDir()));
    EXPECT_GT(QFileInfo(*path).size(), 0);
    const QImage image(*path);
    EXPECT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), controller.window()->size() * controller.window()->devicePixelRatio());

    const Result<QString> refused = saveScreenshot(*controller.window(), testsupport::binaryDir(), QStringLiteral("a/b"));
    EXPECT_FALSE(refused.ok());
}

} // namespace
