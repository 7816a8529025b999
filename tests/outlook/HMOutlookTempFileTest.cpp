#include "outlook/HMOutlookTempFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

// The import file is rewritten in place for each record: every write leaves exactly its own bytes,
// whatever the longer or shorter text before it, the owner's alone, and never through a link.
TEST(OutlookTempFile, EachWriteLeavesExactlyItsBytesOwnerOnlyAndNeverThroughALink)
{
    QTemporaryDir data;
    ASSERT_TRUE(data.isValid());
    const QString path = hmoutlook::tempFilePath(data.path(), QStringLiteral("temp.vcf"));
    EXPECT_EQ(path, data.path() + QStringLiteral("/temp/temp.vcf"));
    struct stat folder = {};
    ASSERT_EQ(::stat(QFile::encodeName(data.path() + QStringLiteral("/temp")).constData(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    const QByteArray longCard = "begin:vcard\nversion:3.0\nnote;charset=utf-8:a long note, \xc3\xa9t\xc3\xa9\nend:vcard\n";
    const QByteArray shortCard = "begin:vcard\nversion:3.0\nend:vcard\n";
    for (const QByteArray &card : {longCard, shortCard, QByteArray(), longCard}) {
        ASSERT_TRUE(hmoutlook::writeTempFile(path, card));
        EXPECT_EQ(fileBytes(path), card);
    }
    struct stat written = {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &written), 0);
    EXPECT_EQ(written.st_mode & 0777, 0600u);

    const QString target = data.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::link(target, path));
    EXPECT_FALSE(hmoutlook::writeTempFile(path, shortCard));
    EXPECT_FALSE(QFile::exists(target));
}
