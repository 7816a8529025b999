// The checksum input of an event: the same bytes for the same event in every run, byte for byte.
#include "datasources/calendar/HMKVCodingEKEvent.h"
#include "datasources/calendar/HMChecksumArchive.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "platform/foundation/Crc32.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QFile>
#include <QTimeZone>

#include <random>

#include <gtest/gtest.h>

using namespace platform;
using eventkittest::at;
using eventkittest::calendarText;
using eventkittest::eventItem;
using eventkittest::writeAsOtherProgram;

namespace {

HMKVCodingEKEvent copyOf(const EKEvent &event)
{
    HMKVCodingEKEvent copy;
    copy.setStartDate(event.startDate());
    copy.setEndDate(event.endDate());
    copy.setAlarms(event.alarms());
    copy.setTitle(event.title());
    copy.setNotes(event.notes());
    return copy;
}

} // namespace

class HMKVCodingEKEventTest : public eventkittest::CalendarFolderTest
{
};

TEST_F(HMKVCodingEKEventTest, ChecksumInputIsFixedBytes)
{
    HMKVCodingEKEvent event;
    event.setStartDate(at("2026-03-16 10:00"));
    event.setEndDate(at("2026-03-16 11:00"));
    event.setTitle(QStringLiteral("Café"));
    event.setNotes(QString(QLatin1String("")));
    const QByteArray expected = QByteArray::fromHex("484d4556"
                                                    "00000004"
                                                    "44"
                                                    "0000019cf6169100"
                                                    "44"
                                                    "0000019cf64d7f80"
                                                    "53"
                                                    "00000005"
                                                    "436166c3a9"
                                                    "53"
                                                    "00000000");
    EXPECT_EQ(event.checksumArchive().toHex(), expected.toHex());
}

// The listing takes an event's checksum over the archive's pieces as it makes them: for events of
// every shape (times missing, texts absent, empty, long, beyond ASCII, holding NULs; dates before
// 1970 and far ahead) it is the CRC of the archive's bytes, and the archive is the one the event's
// copy writes.
TEST_F(HMKVCodingEKEventTest, ChecksumTakenPieceByPieceIsTheArchivesCrc)
{
    const std::optional<qint64> dates[] = {std::nullopt, 0, -1, 1773655200000, -62135596800000, 253402300799999};
    const std::optional<QByteArray> texts[] = {std::nullopt,
                                               QByteArray(""),
                                               QByteArray("Plain"),
                                               QByteArray("Caf\xc3\xa9 \xf0\x9f\x8e\x82"),
                                               QByteArray("nul\0inside", 10),
                                               QByteArray(5000, 'x'),
                                               QByteArray(470, '\xff'),
                                               QByteArray(512, 'y')};
    int compared = 0;
    for (const auto &start : dates) {
        for (const auto &end : dates) {
            for (const auto &title : texts) {
                for (const auto &notes : texts) {
                    const QByteArray archive = eventChecksumArchive(start, end, title, notes);
                    ASSERT_EQ(eventChecksumCrc(start, end, title, notes), crc32OfBytes(archive))
                        << archive.left(64).toHex().toStdString();
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 6 * 6 * 8 * 8);
    HMKVCodingEKEvent copy;
    copy.setStartDate(at("2026-03-16 10:00"));
    copy.setEndDate(at("2026-03-16 11:00"));
    copy.setTitle(QStringLiteral("Caf\u00e9"));
    EXPECT_EQ(eventChecksumCrc(at("2026-03-16 10:00").toMSecsSinceEpoch(), at("2026-03-16 11:00").toMSecsSinceEpoch(),
                               QByteArray("Caf\xc3\xa9"), std::nullopt),
              crc32OfBytes(copy.checksumArchive()));
}

// Texts of every length up to beyond what an archive gathers before taking its CRC, of seeded random
// bytes, alone and in pairs: the CRC taken as the pieces come is the CRC of the archive's bytes.
TEST_F(HMKVCodingEKEventTest, ChecksumOfTextsOfEveryLengthIsTheArchivesCrc)
{
    std::mt19937 random(20261208);
    const auto randomText = [&random](qsizetype length) {
        QByteArray text(length, Qt::Uninitialized);
        for (char &byte : text)
            byte = char(random() & 0xff);
        return text;
    };
    const qint64 start = 1773655200000;
    for (qsizetype length = 0; length <= 1100; ++length) {
        SCOPED_TRACE(length);
        const QByteArray title = randomText(length);
        const QByteArray notes = randomText(qsizetype(random() % 600));
        const std::optional<qint64> end = length % 7 == 0 ? std::optional<qint64>() : start + length;
        ASSERT_EQ(eventChecksumCrc(start, end, title, std::nullopt),
                  crc32OfBytes(eventChecksumArchive(start, end, title, std::nullopt)));
        ASSERT_EQ(eventChecksumCrc(start, end, title, notes),
                  crc32OfBytes(eventChecksumArchive(start, end, title, notes)));
        ASSERT_EQ(eventChecksumCrc(-start, start, notes, title),
                  crc32OfBytes(eventChecksumArchive(-start, start, notes, title)));
    }
}

// The checksum taken from an event's texts as they stand is the one taken from their UTF-8: for
// texts absent, empty, ASCII of every length around the narrowing buffer's and the gathering one's,
// beyond ASCII, and holding a lone surrogate (which UTF-8 cannot keep).
TEST_F(HMKVCodingEKEventTest, ChecksumOfTextsIsTheChecksumOfTheirUtf8)
{
    QList<std::optional<QString>> texts{std::nullopt, QString(""), QStringLiteral("Plain"),
                                        QStringLiteral("Caf\u00e9 \U0001F382"), QString(QChar(0xd800)) + "x"};
    for (const qsizetype length : {255, 256, 257, 511, 512, 513, 1100})
        texts.append(QString(length, QLatin1Char('a' + char(length % 26))));
    const qint64 start = 1773655200000;
    for (const auto &title : texts) {
        for (const auto &notes : texts) {
            const auto utf8 = [](const std::optional<QString> &text) {
                return text ? std::optional<QByteArray>(text->toUtf8()) : std::nullopt;
            };
            const auto view = [](const std::optional<QString> &text) {
                return text ? std::optional<QStringView>(*text) : std::nullopt;
            };
            for (const std::optional<qint64> end : {std::optional<qint64>(start + 1), std::optional<qint64>()}) {
                ASSERT_EQ(eventChecksumCrcOfTexts(start, end, view(title), view(notes)),
                          eventChecksumCrc(start, end, utf8(title), utf8(notes)))
                    << (title ? title->left(8).toStdString() : "null") << " / "
                    << (notes ? notes->left(8).toStdString() : "null");
            }
        }
    }
    platform::EKEvent event;
    event.setStartDate(QDateTime::fromMSecsSinceEpoch(start, QTimeZone::utc()));
    event.setEndDate(QDateTime::fromMSecsSinceEpoch(start + 3600000, QTimeZone::utc()));
    event.setTitle(QStringLiteral("Caf\u00e9"));
    EXPECT_EQ(HMKVCodingEKEvent::checksumCrcOf(event),
              eventChecksumCrc(start, start + 3600000, QByteArray("Caf\xc3\xa9"), std::nullopt));
}

// A list's entries of other kinds are left out; a date before 1970 keeps its sign.
TEST_F(HMKVCodingEKEventTest, ChecksumInputOfAListIsFixedBytes)
{
    const QVariantList entries{QStringLiteral("FREQ=WEEKLY"), 42, QDateTime::fromMSecsSinceEpoch(-1000, QTimeZone::utc()),
                               QString(), QVariant(), QStringLiteral("\u00e9")};
    const QByteArray expected = QByteArray::fromHex("484d5345"
                                                    "00000004"
                                                    "53"
                                                    "0000000b"
                                                    "465245513d5745454b4c59"
                                                    "44"
                                                    "fffffffffffffc18"
                                                    "53"
                                                    "00000000"
                                                    "53"
                                                    "00000002"
                                                    "c3a9");
    EXPECT_EQ(checksumArchiveOfList("HMSE", entries).toHex(), expected.toHex());
    EXPECT_EQ(crc32OfBytes(expected), 0xa26b3b80u);
}

// A series' entries taken piece by piece give the CRC of their archive continued from the event's:
// ASCII texts longer than a buffer, other texts (a lone surrogate as toUtf8 writes it), empty and
// null ones, and dates either side of 1970.
TEST_F(HMKVCodingEKEventTest, SeriesEntriesCrcIsThatOfTheirArchive)
{
    const QString longRule = QStringLiteral("FREQ=WEEKLY;BYDAY=MO,TU;") + QString(700, QLatin1Char('x'));
    const QString loneSurrogate = QStringLiteral("rev-") + QChar(0xd800) + QStringLiteral("-1");
    const QList<std::pair<QString, QString>> texts{{QStringLiteral("FREQ=DAILY"), QStringLiteral("7")},
                                                   {longRule, QString()},
                                                   {QStringLiteral("FREQ=YEARLY"), QStringLiteral("\u00e9t\u00e9 \u6f22")},
                                                   {QString(), loneSurrogate},
                                                   {QString(255, QLatin1Char('a')), QString(257, QLatin1Char('b'))}};
    const QList<QList<qint64>> dateLists{{}, {-1000, 0, 1773655200000}, QList<qint64>(70, 1773655200000)};
    for (const auto &[rule, revision] : texts) {
        for (const QList<qint64> &dates : dateLists) {
            QVariantList entries{rule, revision};
            for (const qint64 milliseconds : dates)
                entries.append(QDateTime::fromMSecsSinceEpoch(milliseconds, QTimeZone::utc()));
            const QByteArray archive = checksumArchiveOfList("HMSE", entries);
            for (const quint32 start : {0u, 0xa26b3b80u})
                ASSERT_EQ(seriesEntriesCrcContinued(start, rule, revision, dates),
                          platform::crc32Continued(start, archive))
                    << rule.size() << " " << revision.size() << " " << dates.size();
        }
    }
}

TEST_F(HMKVCodingEKEventTest, ChecksumFollowsTheFieldsItCovers)
{
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    auto store = eventStore();
    auto event = EKEvent::eventWithEventStore(store);
    event->setTitle(QStringLiteral("Review"));
    event->setNotes(QStringLiteral("Bring the numbers\nand coffee & cake"));
    event->setStartDate(at("2026-03-16 10:00"));
    event->setEndDate(at("2026-03-16 11:00"));
    event->setAlarms({EKAlarm::alarmWithRelativeOffset(-900)});
    ASSERT_TRUE(store->saveEvent(event, EKSpan::ThisEvent, true).ok());

    // Two runs read the file afresh and must agree.
    const QByteArray first = copyOf(*eventStore()->eventWithIdentifier(event->eventIdentifier())).checksumArchive();
    const QByteArray second = copyOf(*eventStore()->eventWithIdentifier(event->eventIdentifier())).checksumArchive();
    EXPECT_EQ(first, second);

    HMKVCodingEKEvent changed = copyOf(*event);
    changed.setAlarms({EKAlarm::alarmWithRelativeOffset(-60)});
    EXPECT_EQ(changed.checksumArchive(), first) << "alarms take no part";
    changed.setNotes(QStringLiteral("Bring the numbers"));
    EXPECT_NE(changed.checksumArchive(), first);

    HMKVCodingEKEvent withoutNotes = copyOf(*event);
    withoutNotes.setNotes(QString());
    HMKVCodingEKEvent emptyNotes = copyOf(*event);
    emptyNotes.setNotes(QString(QLatin1String("")));
    EXPECT_NE(withoutNotes.checksumArchive(), emptyNotes.checksumArchive());
    EXPECT_EQ(withoutNotes.checksumArchive().mid(4, 4), QByteArray::fromHex("00000003"));
    HMKVCodingEKEvent withoutTitle = copyOf(*event);
    withoutTitle.setTitle(QString());
    EXPECT_EQ(withoutTitle.checksumArchive().mid(4, 4), QByteArray::fromHex("00000002"));
    EXPECT_EQ(HMKVCodingEKEvent().checksumArchive(), QByteArray::fromHex("484d455600000000"));
}

TEST_F(HMKVCodingEKEventTest, KeyedCodingRoundTrip)
{
    HMKVCodingEKEvent event;
    event.setStartDate(at("2026-03-16 10:00"));
    event.setEndDate(at("2026-03-16 11:00"));
    event.setTitle(QStringLiteral("Review"));
    event.setNotes(QStringLiteral("Notes"));
    event.setAlarms({EKAlarm::alarmWithRelativeOffset(-900), EKAlarm::alarmWithAbsoluteDate(at("2026-03-16 09:00"))});
    KeyedArchiver archiver;
    archiver.encodeObject(event, QStringLiteral("root"));
    const Result<QByteArray> data = archiver.finishEncoding();
    ASSERT_TRUE(data.ok()) << data.error().message().toStdString();
    const auto read = KeyedUnarchiver::unarchiveObject<HMKVCodingEKEvent>(*data, QStringLiteral("root"));
    ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
    EXPECT_EQ((*read)->startDate(), event.startDate());
    EXPECT_EQ((*read)->endDate(), event.endDate());
    EXPECT_EQ((*read)->title(), event.title());
    EXPECT_EQ((*read)->notes(), event.notes());
    EXPECT_EQ((*read)->alarms(), event.alarms());

    HMKVCodingEKEvent partial;
    partial.setTitle(QStringLiteral("Only a title"));
    KeyedArchiver partialArchiver;
    partialArchiver.encodeObject(partial, QStringLiteral("root"));
    const auto readPartial =
        KeyedUnarchiver::unarchiveObject<HMKVCodingEKEvent>(*partialArchiver.finishEncoding(), QStringLiteral("root"));
    ASSERT_TRUE(readPartial.ok());
    EXPECT_EQ((*readPartial)->title(), QStringLiteral("Only a title"));
    EXPECT_FALSE((*readPartial)->startDate().isValid());
    EXPECT_TRUE((*readPartial)->notes().isNull());
}

// A listing that knows a single event from its file's description takes the checksum's bytes from
// the description's texts without making the event: for events of every shape they are the bytes
// of the event the description gives and of the event its file's parse gives, byte for byte, in
// the run that parses the files and in the next one that knows them from the index alone.
TEST_F(HMKVCodingEKEventTest, ChecksumInputOfAListedEventIsTheEventsBytes)
{
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    const QByteArray hour = "DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\n";
    const struct
    {
        const char *uid;
        QByteArray properties;
    } rows[] = {
        {"plain", hour + "SUMMARY:Plain\r\nDESCRIPTION:Notes\r\n"},
        {"empty title", hour + "SUMMARY:\r\nDESCRIPTION:x\r\n"},
        {"no title", hour + "DESCRIPTION:Only notes\r\n"},
        {"no notes", hour + "SUMMARY:Title only\r\n"},
        {"empty notes", hour + "SUMMARY:T\r\nDESCRIPTION:\r\n"},
        {"breaks and ampersand", hour + "SUMMARY:Tea & cake\r\nDESCRIPTION:line one\\nline two & more\\n\r\n"},
        {"characters the index encodes", hour + "SUMMARY:50% off\\, a;b +-\r\nDESCRIPTION:%2B%\\;\t\r\n"},
        {"beyond ASCII", hour + "SUMMARY:Caf\xc3\xa9 \xf0\x9f\x8e\x82\r\nDESCRIPTION:\xef\xbb\xbf" "bom\r\n"},
        {"all day", "DTSTART;VALUE=DATE:20260302\r\nDTEND;VALUE=DATE:20260304\r\nSUMMARY:Days\r\n"},
        {"floating", "DTSTART:20260302T090000\r\nDTEND:20260302T093000\r\nSUMMARY:Floating\r\n"},
        {"no end", "DTSTART:20260302T090000Z\r\nSUMMARY:Instant\r\n"},
        {"far back", "DTSTART:19000101T000000Z\r\nDTEND:19000101T010000Z\r\nSUMMARY:Old\r\n"},
        {"far ahead", "DTSTART:20991231T230000Z\r\nDTEND:21000101T010000Z\r\nSUMMARY:Late\r\n"},
        {"changed", hour + "SUMMARY:C\r\nLAST-MODIFIED:20260101T111111Z\r\nCREATED:20250101T101010Z\r\n"},
    };
    for (const auto &row : rows) {
        writeAsOtherProgram(folder + QLatin1Char('/') + QLatin1String(row.uid).toString().replace(' ', '-') + ".ics",
                            calendarText(eventItem(row.uid, row.properties)));
    }
    const auto bytesOf = [](const icallisted::ListedLook &look) {
        return eventChecksumArchive(look.start, look.end, look.title, look.notes).toHex();
    };
    const auto compareEveryEvent = [&] {
        const auto store = eventStore();
        const EKEventSequence sequence = store->eventSequenceMatchingPredicate(
            store->predicateForEventsWithStartDate(at("1899-01-01 00:00"), at("2101-01-01 00:00"), {}));
        ASSERT_EQ(sequence.size(), qsizetype(std::size(rows)));
        QByteArray scratch;
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            SCOPED_TRACE(sequence.identifierAt(index).toStdString());
            const std::optional<icallisted::ListedLook> look = sequence.lookAt(index, scratch);
            ASSERT_TRUE(look);
            const std::shared_ptr<EKEvent> listed = sequence.eventAt(index);
            const std::shared_ptr<EKEvent> parsed = store->eventWithIdentifier(sequence.identifierAt(index));
            ASSERT_TRUE(listed && parsed);
            EXPECT_EQ(bytesOf(*look), copyOf(*listed).checksumArchive().toHex());
            EXPECT_EQ(bytesOf(*look), copyOf(*parsed).checksumArchive().toHex());
            EXPECT_EQ(eventChecksumCrc(look->start, look->end, look->title, look->notes),
                      crc32OfBytes(copyOf(*parsed).checksumArchive()));
            EXPECT_EQ(look->lastModified, parsed->lastModifiedDate());
        }
    };
    compareEveryEvent();
    // The next run: the folder under another name, so that a new description of it reads the index.
    ASSERT_TRUE(QFile::rename(folder, root() + QStringLiteral("/workx")));
    ASSERT_TRUE(QFile::rename(root() + QStringLiteral("/.work.hmindex"), root() + QStringLiteral("/.workx.hmindex")));
    compareEveryEvent();
}
