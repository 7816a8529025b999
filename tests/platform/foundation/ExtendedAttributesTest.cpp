#include "platform/foundation/ExtendedAttributes.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/xattr.h>

#include <gtest/gtest.h>

using namespace platform;

namespace {

const QString kArchived = QStringLiteral("lumberjack.log.archived");

} // namespace

TEST(ExtendedAttributes, MarksRoundTripOnARealFileInTheUserNamespace)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("log-ABCDEF.txt"));
    ASSERT_TRUE(writeFileAtomically(path, "line\r\n").ok());

    EXPECT_FALSE(ExtendedAttributes::has(path, kArchived));
    EXPECT_EQ(ExtendedAttributes::value(path, kArchived).error().code(), ErrorCode::DataMissing);
    const Status marked = ExtendedAttributes::set(path, kArchived);
    ASSERT_TRUE(marked.ok()) << marked.error().message().toStdString();
    EXPECT_TRUE(ExtendedAttributes::has(path, kArchived));
    EXPECT_EQ(ExtendedAttributes::value(path, kArchived).value(), QByteArray());

    // The mark is a real attribute of the file, under the user namespace, so other tools see it.
    const bool hasRealAttribute =
        ::getxattr(QFile::encodeName(path).constData(), "user.lumberjack.log.archived", nullptr, 0) >= 0;
    const bool usesSidecar = FileSystem::fileExists(ExtendedAttributes::sidecarPath(path));
    EXPECT_NE(hasRealAttribute, usesSidecar) << "the mark lives in exactly one place";

    ASSERT_TRUE(ExtendedAttributes::set(path, QStringLiteral("user.note"), QByteArray("a\0b", 3)).ok());
    EXPECT_EQ(ExtendedAttributes::value(path, QStringLiteral("note")).value(), QByteArray("a\0b", 3));

    // A rename keeps the mark; removing it twice is fine.
    const QString renamed = dir.filePath(QStringLiteral("log-123456.txt"));
    ASSERT_TRUE(QFile::rename(path, renamed));
    if (!usesSidecar) {
        EXPECT_TRUE(ExtendedAttributes::has(renamed, kArchived));
    }
    ASSERT_TRUE(ExtendedAttributes::remove(renamed, kArchived).ok());
    ASSERT_TRUE(ExtendedAttributes::remove(renamed, kArchived).ok());
    EXPECT_FALSE(ExtendedAttributes::has(renamed, kArchived));
    EXPECT_EQ(readWholeFile(renamed).value(), QByteArray("line\r\n")) << "the content is untouched";

    // A vanished file is reported, not marked.
    const Status vanished = ExtendedAttributes::set(path, kArchived);
    ASSERT_FALSE(vanished.ok());
    EXPECT_EQ(vanished.error().code(), ErrorCode::IoNotFound);
    EXPECT_TRUE(vanished.error().message().contains(path));
}

TEST(ExtendedAttributes, TheSidecarKeepsMarksForItsOwnFileOnly)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("log-ABCDEF.txt"));
    ASSERT_TRUE(writeFileAtomically(path, "old\r\n").ok());

    ASSERT_TRUE(ExtendedAttributes::setInSidecar(path, kArchived, QByteArray()).ok());
    ASSERT_TRUE(ExtendedAttributes::setInSidecar(path, QStringLiteral("other"), "value").ok());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, kArchived).value(), QByteArray());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, QStringLiteral("other")).value(), QByteArray("value"));
    EXPECT_EQ(FileSystem::listFolder(dir.path()).value(), QStringList({QStringLiteral("log-ABCDEF.txt")}))
        << "the sidecar is hidden from listings";

    ASSERT_TRUE(ExtendedAttributes::removeFromSidecar(path, QStringLiteral("other")).ok());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, QStringLiteral("other")).error().code(), ErrorCode::DataMissing);
    EXPECT_TRUE(ExtendedAttributes::valueInSidecar(path, kArchived).ok());

    // A new file of the same name (written whole, so a new inode) does not inherit the old file's marks.
    ASSERT_TRUE(writeFileAtomically(path, "new\r\n").ok());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, kArchived).error().code(), ErrorCode::DataMissing);

    // The last mark removed takes the sidecar with it; a damaged sidecar reads as no marks.
    ASSERT_TRUE(ExtendedAttributes::setInSidecar(path, kArchived, QByteArray()).ok());
    ASSERT_TRUE(ExtendedAttributes::removeFromSidecar(path, kArchived).ok());
    EXPECT_FALSE(FileSystem::fileExists(ExtendedAttributes::sidecarPath(path)));
    ASSERT_TRUE(writeFileAtomically(ExtendedAttributes::sidecarPath(path), "{\"device\": 1, \"attr").ok());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, kArchived).error().code(), ErrorCode::DataMissing);
    ASSERT_TRUE(ExtendedAttributes::setInSidecar(path, kArchived, "again").ok());
    EXPECT_EQ(ExtendedAttributes::valueInSidecar(path, kArchived).value(), QByteArray("again"));
}
