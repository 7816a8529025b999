// Damaged and hostile archives: every truncation, seeded byte flips, lying sizes and offsets, ZIP64
// markers, overlapping entries and bombs. Each must end in an error code (or a sound read) quickly,
// without reading past the archive's bytes, which the sanitizer build checks.
#include "ZipReaderExercise.h"
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZError.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <random>

using platform::PlatformError;
using namespace ziptest;

namespace {

QString samplePath(const QString &name)
{
    return testsupport::sourceDir() + QStringLiteral("/tests/app/zip/samples/") + name;
}

QByteArray threeEntryArchive()
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
    const bool isWritten = archive->updateEntries({dataEntry(QStringLiteral("one.txt"), sampleBytes(300, 1), 6),
                                                   dataEntry(QStringLiteral("two.txt"), "two", 0),
                                                   dataEntry(QStringLiteral("three.txt"), sampleBytes(200, 3), 9)},
                                                  &error);
    return isWritten ? archive->contents() : QByteArray();
}

struct Mutation
{
    const char *name;
    std::function<void(QByteArray &bytes, qsizetype endRecord, qsizetype central)> apply;
    qint64 loadCode; // -1: loads, and reading must then fail or succeed soundly.
};

} // namespace

TEST(ZipHostile, EveryTruncationEndsInAnErrorCode)
{
    const QStringList names{QStringLiteral("7z-aes256.zip"), QStringLiteral("zip-traditional-streamed.zip")};
    QList<QByteArray> archives{threeEntryArchive()};
    for (const QString &name : names)
        archives.append(readFile(samplePath(name)));
    for (const QByteArray &archive : archives) {
        ASSERT_FALSE(archive.isEmpty());
        for (qsizetype length = 0; length < archive.size(); ++length) {
            const ExerciseOutcome outcome = exerciseArchive(archive.first(length), QStringLiteral("secret"));
            ASSERT_GE(outcome.loadCode, 0) << "a truncation at " << length << " loaded";
            ASSERT_EQ(outcome.foreignFailures, 0);
        }
        EXPECT_EQ(exerciseArchive(archive, QStringLiteral("secret")).loadCode, -1);
    }
}

TEST(ZipHostile, SeededByteFlipsEndCleanly)
{
    std::mt19937 generator(24);
    const QStringList names = QDir(samplePath({})).entryList({QStringLiteral("*.zip")});
    ASSERT_GE(names.size(), 10);
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        const QByteArray original = readFile(samplePath(name));
        for (int round = 0; round < 40; ++round) {
            QByteArray mutant = original;
            const int flips = 1 + int(generator() % 4);
            for (int flip = 0; flip < flips; ++flip) {
                // Half the flips land in the last 400 bytes, where the directory and end record are.
                const qsizetype span = generator() % 2 ? mutant.size() : std::min<qsizetype>(400, mutant.size());
                mutant[mutant.size() - 1 - qsizetype(generator() % span)] = char(generator());
            }
            const ExerciseOutcome outcome = exerciseArchive(mutant, QStringLiteral("secret"));
            ASSERT_EQ(outcome.foreignFailures, 0) << "round " << round;
        }
    }
}

TEST(ZipHostile, LyingSizesAndOffsetsAreRefused)
{
    const Mutation mutations[] = {
        {"end record counts more entries",
         [](QByteArray &b, qsizetype e, qsizetype) { put16(b, e + 8, 4), put16(b, e + 10, 4); }, 1},
        {"end record counts fewer on this disk", [](QByteArray &b, qsizetype e, qsizetype) { put16(b, e + 8, 2); }, 1},
        {"directory offset past the end", [](QByteArray &b, qsizetype e, qsizetype) { put32(b, e + 16, 0x7fffffff); },
         1},
        {"directory offset inside the data", [](QByteArray &b, qsizetype e, qsizetype) { put32(b, e + 16, 3); }, 2},
        {"comment length past the end", [](QByteArray &b, qsizetype e, qsizetype) { put16(b, e + 20, 9); }, 1},
        {"ZIP64 marker counts and offset",
         [](QByteArray &b, qsizetype e, qsizetype) {
             put16(b, e + 8, 0xffff), put16(b, e + 10, 0xffff), put32(b, e + 16, 0xffffffff);
         },
         1},
        {"compressed size past the end", [](QByteArray &b, qsizetype, qsizetype c) { put32(b, c + 20, 0xffffffff); },
         2},
        {"local header offset past the directory",
         [](QByteArray &b, qsizetype, qsizetype c) { put32(b, c + 42, 0x7ffffff0); }, 2},
        {"name length past the directory", [](QByteArray &b, qsizetype, qsizetype c) { put16(b, c + 28, 0xffff); }, 2},
        {"disk number of an entry", [](QByteArray &b, qsizetype, qsizetype c) { put16(b, c + 34, 1); }, 2},
        {"central signature", [](QByteArray &b, qsizetype, qsizetype c) { b[c + 3] = 9; }, 2},
        {"local name length past the end", [](QByteArray &b, qsizetype, qsizetype) { put16(b, 26, 0xffff); }, 2},
        {"uncompressed size of a bomb", [](QByteArray &b, qsizetype, qsizetype c) { put32(b, c + 24, 0xffffffff); },
         -1},
        {"extra field larger than its block",
         [](QByteArray &b, qsizetype, qsizetype c) {
             put16(b, c + 8, 0x0809);
             put16(b, c + 30, 0);
         },
         -1},
    };
    const QByteArray original = threeEntryArchive();
    const qsizetype endRecord = original.size() - 22;
    const qsizetype central = get32(original, endRecord + 16);
    for (const Mutation &mutation : mutations) {
        SCOPED_TRACE(mutation.name);
        QByteArray bytes = original;
        mutation.apply(bytes, endRecord, central);
        QElapsedTimer timer;
        timer.start();
        const ExerciseOutcome outcome = exerciseArchive(bytes, QStringLiteral("secret"));
        EXPECT_EQ(outcome.loadCode, mutation.loadCode);
        EXPECT_EQ(outcome.foreignFailures, 0);
        if (mutation.loadCode < 0) {
            EXPECT_EQ(outcome.readCount, outcome.entryCount - 1) << "the damaged entry is not read";
        }
        EXPECT_LT(timer.elapsed(), 2000);
    }
    // One extra byte after a good end record.
    EXPECT_EQ(exerciseArchive(original + QByteArray(1, '\0'), {}).loadCode, 1);
}

TEST(ZipHostile, ZipSixtyFourLocalHeadersFailTheCheck)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive =
        ZZArchive::archiveWithURL(QUrl::fromLocalFile(samplePath(QStringLiteral("zip-zip64-local.zip"))), &error);
    ASSERT_TRUE(archive);
    ASSERT_EQ(archive->entries().size(), 1);
    EXPECT_FALSE(archive->entries()[0]->check(&error));
    EXPECT_EQ(zipErrorCode(error), 3);
}

TEST(ZipHostile, OverlappingEntriesAndSelfCoveringDataStayBounded)
{
    // A bomb of overlapping entries: one deflated MiB of zeros, named by 300 central headers.
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
    ASSERT_TRUE(archive->updateEntries({dataEntry(QStringLiteral("zeros"), QByteArray(1 << 20, '\0'), 9)}, &error));
    const QByteArray single = archive->contents();
    const qsizetype central = get32(single, single.size() - 6);
    const QByteArray header = single.mid(central, single.size() - 22 - central);
    QByteArray bomb = single.first(central);
    constexpr int kCopies = 300;
    for (int copy = 0; copy < kCopies; ++copy)
        bomb += header;
    QByteArray end = single.last(22);
    put16(end, 8, kCopies);
    put16(end, 10, kCopies);
    put32(end, 12, quint32(header.size() * kCopies));
    bomb += end;
    QElapsedTimer timer;
    timer.start();
    const ExerciseOutcome outcome = exerciseArchive(bomb, {});
    EXPECT_EQ(outcome.entryCount, kCopies);
    EXPECT_EQ(outcome.readCount, kCopies);
    EXPECT_LT(timer.elapsed(), 20'000);

    // A stored entry whose data claims to run over its own directory and end record.
    QByteArray covering = threeEntryArchive();
    const qsizetype directory = get32(covering, covering.size() - 6);
    const qsizetype lastCentral = covering.lastIndexOf(QByteArray("PK\x01\x02", 4));
    put32(covering, lastCentral + 20, quint32(covering.size() - (directory - 0)));
    const ExerciseOutcome self = exerciseArchive(covering, {});
    EXPECT_EQ(self.foreignFailures, 0);
}
