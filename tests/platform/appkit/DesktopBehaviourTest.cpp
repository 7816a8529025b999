// The platform layer's desktop behaviour: sheets hung from their window and following it, alerts
// whose keyboard answer is the harmless button, document windows that stay open on Escape, and one
// instance per session over a local socket in a private runtime folder.
#include "TestWindowController.h"

#include "platform/appkit/Alert.h"
#include "platform/appkit/Sheet.h"
#include "platform/appkit/SingleInstance.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QWindow>

#include <atomic>
#include <thread>

#include <sys/stat.h>

using namespace platform;

namespace {

TEST(SheetTest, HangsBelowTheTitleBarCentredAndFollowsItsWindow)
{
    QWidget parent;
    parent.setGeometry(100, 80, 600, 400);
    parent.show();
    const QRect contents = parent.geometry();
    QDialog sheet;
    sheet.resize(300, 120);
    attachSheet(sheet, parent);
    sheet.show();
    EXPECT_TRUE(sheet.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet.windowHandle()->transientParent(), parent.windowHandle());
    EXPECT_TRUE(isSheetOf(sheet, parent));
    EXPECT_EQ(sheet.geometry().topLeft(), QPoint(contents.x() + (600 - sheet.width()) / 2, contents.y()));

    // The window's contents, below its title bar, wherever its frame went.
    parent.move(160, 40);
    const QRect moved = parent.geometry();
    EXPECT_EQ(sheet.geometry().topLeft(), QPoint(moved.x() + (600 - sheet.width()) / 2, moved.y()))
        << "the sheet stayed behind";
    parent.resize(800, 400);
    EXPECT_EQ(sheet.geometry().x(), parent.geometry().x() + (800 - sheet.width()) / 2);

    sheet.hide();
    detachSheet(sheet);
    EXPECT_FALSE(isSheetOf(sheet, parent));
    EXPECT_EQ(sheet.windowModality(), Qt::NonModal);
    parent.move(0, 0);
    EXPECT_NE(sheet.geometry().topLeft(), QPoint((800 - sheet.width()) / 2, 0)) << "a detached sheet still follows";
}

// Enter and Escape in an alert whose first button destroys data answer the second; a click on the
// first still answers the first's code.
TEST(AlertTest, KeyboardAnswersTheHarmlessButtonAndClicksKeepTheirCodes)
{
    QWidget parent;
    parent.show();
    for (const int key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Enter}) {
        SCOPED_TRACE(key);
        Alert alert;
        alert.addButtonWithTitle(QStringLiteral("OK"));
        alert.setHarmlessButton(alert.addButtonWithTitle(QStringLiteral("Cancel")));
        int answer = 0;
        alert.beginSheetModalForWindow(&parent, [&answer](int code) { answer = code; });
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&alert.messageBox(), &press);
        EXPECT_TRUE(testsupport::waitUntil([&] { return answer != 0; }));
        EXPECT_EQ(answer, NSAlertSecondButtonReturn);
        EXPECT_EQ(alert.buttonTitles(), (QStringList{"OK", "Cancel"}));
    }
    Alert alert;
    alert.addButtonWithTitle(QStringLiteral("OK"));
    alert.setHarmlessButton(alert.addButtonWithTitle(QStringLiteral("Cancel")));
    int answer = 0;
    alert.beginSheetModalForWindow(&parent, [&answer](int code) { answer = code; });
    alert.buttons().front()->click();
    EXPECT_TRUE(testsupport::waitUntil([&] { return answer != 0; }));
    EXPECT_EQ(answer, NSAlertFirstButtonReturn);
}

// A runtime folder of its own for each test; the previous one is put back afterwards.
class SingleInstanceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = qgetenv("XDG_RUNTIME_DIR");
        QFile::setPermissions(m_runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }
    void TearDown() override { qputenv("XDG_RUNTIME_DIR", m_saved); }

    QTemporaryDir m_runtime;
    QByteArray m_saved;
};

TEST_F(SingleInstanceTest, SecondStartHandsItsRequestToTheFirstInAPrivateFolder)
{
    SingleInstance first(QStringLiteral("test.instance"));
    ASSERT_TRUE(first.claim());
    ASSERT_TRUE(first.listen()) << first.errorString().toStdString();
    QByteArrayList requests;
    QObject::connect(&first, &SingleInstance::requestReceived, [&](const QByteArray &request) { requests << request; });
    struct stat status {};
    ASSERT_EQ(::lstat(QFile::encodeName(first.folder()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    std::atomic<int> handedOver{-1};
    std::thread second([&] {
        SingleInstance later(QStringLiteral("test.instance"));
        handedOver = !later.claim() && later.handOver("show", 5000) ? 1 : 0;
    });
    EXPECT_TRUE(testsupport::waitUntil([&] { return handedOver >= 0; }));
    second.join();
    EXPECT_EQ(handedOver, 1);
    EXPECT_EQ(requests, QByteArrayList{"show"});
}

TEST_F(SingleInstanceTest, RefusesLinkedFoldersAndUnendedLinesAndTakesOverADeadLock)
{
    // A link where the folder should be is never followed.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), m_runtime.filePath(QStringLiteral("linked.instance"))));
    SingleInstance linked(QStringLiteral("linked.instance"));
    EXPECT_TRUE(linked.folder().isEmpty());

    // A lock whose process is gone (a pid that cannot run) is taken over.
    QDir().mkpath(m_runtime.filePath(QStringLiteral("dead.instance")));
    QFile stale(m_runtime.filePath(QStringLiteral("dead.instance/instance.lock")));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("2147483646\nharrowmere\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();
    SingleInstance first(QStringLiteral("dead.instance"));
    ASSERT_TRUE(first.claim()) << "a dead process's lock kept the application from starting";
    ASSERT_TRUE(first.listen());
    int requests = 0;
    QObject::connect(&first, &SingleInstance::requestReceived, [&] { ++requests; });

    QLocalSocket hostile;
    hostile.connectToServer(first.folder() + QStringLiteral("/instance"));
    ASSERT_TRUE(hostile.waitForConnected(2000));
    hostile.write(QByteArray(SingleInstance::kMaxRequestBytes + 10, 'x'));
    hostile.flush();
    EXPECT_TRUE(testsupport::waitUntil([&] {
        QCoreApplication::processEvents();
        return hostile.state() == QLocalSocket::UnconnectedState;
    })) << "a line without an end was kept open";
    EXPECT_EQ(requests, 0);
}

TEST(DocumentWindowTest, EscapeLeavesADocumentWindowOpenAndClosesAPanel)
{
    for (const bool isDocument : {true, false}) {
        TestWindowController controller(isDocument ? WindowKind::Document : WindowKind::Panel);
        controller.showWindow();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(controller.window(), &escape);
        EXPECT_EQ(controller.window()->isVisible(), isDocument);
        EXPECT_EQ(controller.window()->windowType(), isDocument ? Qt::Window : Qt::Dialog);
    }
}

} // namespace
