#include "foundation/HMFileManager.h"

#include "ConsoleCapture.h"
#include "QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Points the user's data home at a temporary folder for one case.
class DataFolder : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        m_savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", m_home.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", m_savedDataHome); }

    QTemporaryDir m_home;
    QByteArray m_savedDataHome;
};

} // namespace

TEST_F(DataFolder, IsMadeOnceAndFoundAgain)
{
    const QUrl first = HMFileManager::dataStorageURL();
    const QUrl second = HMFileManager::dataStorageURL();
    EXPECT_EQ(first, second);
    ASSERT_TRUE(first.isLocalFile());
    EXPECT_TRUE(QFileInfo(first.toLocalFile()).isDir());
    EXPECT_EQ(QFileInfo(first.toLocalFile()).absolutePath(), QFileInfo(m_home.path()).absoluteFilePath());
    EXPECT_EQ(QDir(m_home.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
}

TEST_F(DataFolder, ThatCannotBeMadeIsReportedAndStillNamed)
{
    QFile blocker(m_home.filePath(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_DATA_HOME", blocker.fileName().toUtf8());

    ConsoleCapture console;
    const QUrl url = HMFileManager::dataStorageURL();
    EXPECT_TRUE(url.toLocalFile().startsWith(blocker.fileName() + QLatin1Char('/')));
    ASSERT_EQ(console.messages().size(), 1);
    EXPECT_TRUE(console.messages().first().startsWith(QStringLiteral("Error: ")));
}

TEST_F(DataFolder, DeletingAnswersWhetherTheItemIsGone)
{
    const QString folder = HMFileManager::dataStorageURL().toLocalFile();
    const QUrl profile = QUrl::fromLocalFile(folder + QStringLiteral("/p.settings"));
    QFile file(profile.toLocalFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    ConsoleCapture console;
    EXPECT_TRUE(HMFileManager::fileExistsAtURL(profile));
    EXPECT_TRUE(HMFileManager::deleteFileAtURL(profile));
    EXPECT_FALSE(HMFileManager::fileExistsAtURL(profile));
    EXPECT_TRUE(console.messages().isEmpty());

    EXPECT_TRUE(HMFileManager::deleteFileAtURL(profile)) << "nothing to remove counts as done";
    EXPECT_EQ(console.messages().size(), 1);

    // A folder with a file in it cannot be removed: the caller is told so.
    const QUrl nonEmpty = QUrl::fromLocalFile(folder + QStringLiteral("/full"));
    ASSERT_TRUE(QDir().mkpath(nonEmpty.toLocalFile()));
    QFile inside(nonEmpty.toLocalFile() + QStringLiteral("/kept"));
    ASSERT_TRUE(inside.open(QIODevice::WriteOnly));
    inside.close();
    EXPECT_FALSE(HMFileManager::deleteFileAtURL(nonEmpty));
    EXPECT_TRUE(QFileInfo::exists(inside.fileName()));
    ASSERT_EQ(console.messages().size(), 2);
    EXPECT_TRUE(console.messages().last().startsWith(QStringLiteral("Error: ")));
}

TEST(Identifiers, NewUidsAreLowerCaseUuidsAndNeverRepeat)
{
    static const QRegularExpression shape(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    const QString first = HMFileManager::uidString();
    const QString second = HMFileManager::uidString();
    EXPECT_NE(first, second);
    EXPECT_TRUE(shape.match(first).hasMatch()) << first.toStdString();
    EXPECT_TRUE(shape.match(second).hasMatch()) << second.toStdString();
}
