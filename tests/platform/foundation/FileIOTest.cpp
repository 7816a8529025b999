#include "platform/foundation/FileIO.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace platform;

TEST(FileIO, WritesWholeFilesAndKeepsTheOldOneWhenTheWriteCannotHappen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("profile.settings"));

    ASSERT_TRUE(writeFileAtomically(path, "first").ok());
    ASSERT_TRUE(writeFileAtomically(path, "second").ok());
    EXPECT_EQ(readWholeFile(path).value(), QByteArray("second"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "no temporary file is left behind";

    // A folder that cannot be written: the write fails and says where.
    const QString lockedFolder = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkpath(lockedFolder));
    const QString lockedPath = lockedFolder + QStringLiteral("/file");
    ASSERT_TRUE(writeFileAtomically(lockedPath, "kept").ok());
    QFile::setPermissions(lockedFolder, QFile::ReadOwner | QFile::ExeOwner);
    const Status refused = writeFileAtomically(lockedPath, "lost");
    QFile::setPermissions(lockedFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (geteuid() != 0) {
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().message().contains(lockedPath));
    }
    if (!refused.ok()) {
        EXPECT_EQ(readWholeFile(lockedPath).value(), QByteArray("kept"));
    }

    const Result<QByteArray> missing = readWholeFile(dir.filePath(QStringLiteral("absent")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ErrorCode::IoNotFound);
}
