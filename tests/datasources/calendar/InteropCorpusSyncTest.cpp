// Other programs' calendar files (the shared corpus, moved by whole weeks into the sync range) synced
// to an empty phone, every event and task renamed and then given a note on the phone, synced back:
// every file differs from what it was in its edited titles, notes and stamps only, and no file is
// added or removed, in several time zones; and, when asked (it takes minutes), khal lists the same
// occurrences over two years before and after.
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "platform/eventkit/ICalendarFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <string>
#include <tuple>

using phonepeer::Conduit;

namespace {

const QString kCorpusFolder = QStringLiteral(HM_INTEROP_CORPUS "/calendar");
const QString kEdited = QStringLiteral(" (edited)");
const QString kNote = QStringLiteral("Edited on the phone");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QList<QByteArray> unfoldedLines(const QByteArray &text)
{
    QByteArray joined = text;
    joined.replace("\r\n ", "").replace("\r\n\t", "").replace("\n ", "").replace("\n\t", "").replace("\r\n", "\n");
    return joined.split('\n');
}

QByteArray nameOf(const QByteArray &line)
{
    qsizetype end = 0;
    while (end < line.size() && line[end] != ';' && line[end] != ':')
        ++end;
    return line.left(end).trimmed().toUpper();
}

bool isMovedTime(const QByteArray &name)
{
    static const QSet<QByteArray> names{"DTSTART", "DTEND", "DUE", "RECURRENCE-ID", "EXDATE", "RDATE", "RRULE",
                                        "EXRULE", "TRIGGER"};
    return names.contains(name);
}

// The value of a line: what follows its first colon outside quotes.
qsizetype valueStart(const QByteArray &line)
{
    bool isQuoted = false;
    for (qsizetype at = 0; at < line.size(); ++at) {
        isQuoted = line[at] == '"' ? !isQuoted : isQuoted;
        if (line[at] == ':' && !isQuoted)
            return at + 1;
    }
    return line.size();
}

QByteArray movedBy(const QByteArray &value, int days)
{
    static const QRegularExpression date(QStringLiteral("(\\d{8})(T\\d{6}Z?)?"));
    QString text = QString::fromLatin1(value);
    QString result;
    qsizetype last = 0;
    for (auto it = date.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QDate day = QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd"));
        result += text.mid(last, match.capturedStart() - last);
        result += day.isValid() ? day.addDays(days).toString(QStringLiteral("yyyyMMdd")) : match.captured(1);
        result += match.captured(2);
        last = match.capturedEnd();
    }
    return (result + text.mid(last)).toLatin1();
}

// The first start of an event or a to-do of the text, outside its zones.
QDate firstStart(const QList<QByteArray> &lines)
{
    QDate first;
    int zoneDepth = 0;
    for (const QByteArray &line : lines) {
        const QByteArray name = nameOf(line);
        if (line.toUpper().startsWith("BEGIN:VTIMEZONE"))
            ++zoneDepth;
        else if (line.toUpper().startsWith("END:VTIMEZONE"))
            --zoneDepth;
        if (zoneDepth > 0 || (name != "DTSTART" && name != "DUE"))
            continue;
        const QDate day = QDate::fromString(QString::fromLatin1(line.mid(valueStart(line), 8)), QStringLiteral("yyyyMMdd"));
        if (day.isValid() && (!first.isValid() || day < first))
            first = day;
    }
    return first;
}

// The text unfolded, its times (outside its zones) moved by whole weeks so that its first start lies a
// week from now.
QByteArray movedIntoRange(const QByteArray &text)
{
    const QList<QByteArray> lines = unfoldedLines(text);
    const QDate first = firstStart(lines);
    const int days = first.isValid() ? int(first.daysTo(QDate::currentDate().addDays(7)) / 7 * 7) : 0;
    QList<QByteArray> moved;
    int zoneDepth = 0;
    for (const QByteArray &line : lines) {
        zoneDepth += line.toUpper().startsWith("BEGIN:VTIMEZONE") ? 1 : 0;
        zoneDepth -= line.toUpper().startsWith("END:VTIMEZONE") ? 1 : 0;
        const qsizetype value = valueStart(line);
        moved.append(zoneDepth == 0 && isMovedTime(nameOf(line)) ? line.left(value) + movedBy(line.mid(value), days)
                                                                  : line);
    }
    return moved.join("\r\n");
}

// The unfolded lines that an edit of the title and the note leaves alone: all but those and the stamps.
QList<QByteArray> linesBeyondTheEdit(const QByteArray &text)
{
    static const QSet<QByteArray> edited{"SUMMARY", "DESCRIPTION", "DTSTAMP", "LAST-MODIFIED", "SEQUENCE"};
    QList<QByteArray> kept;
    for (const QByteArray &line : unfoldedLines(text)) {
        if (!edited.contains(nameOf(line)) && !line.trimmed().isEmpty())
            kept.append(line.trimmed());
    }
    return kept;
}

void editEveryRecord(phonepeer::PhonePeer &peer, const QString &key, const std::function<QString(QString)> &edit)
{
    for (const Conduit conduit : {Conduit::Calendar, Conduit::Tasks}) {
        for (const phonepeer::PhoneRecord &record : peer.records(conduit)) {
            QMap<QString, QString> fields = record.fields;
            fields.insert(key, edit(fields.value(key)));
            ASSERT_TRUE(peer.updatePhoneRecord(conduit, record.uid, fields));
        }
    }
}

// Every record on the phone renamed, synced, then given a note, synced.
void renameThenNoteEverything(CalendarSyncRun &run)
{
    editEveryRecord(run.peer(), QStringLiteral("SUBJECT"), [](const QString &title) { return title + kEdited; });
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    editEveryRecord(run.peer(), QStringLiteral("NOTE"), [](const QString &) { return kNote; });
    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();
}

// The occurrences of a khal listing, one a line, sorted, blanks around and within titles made one: the
// phone keeps no blank at either end of a title, so a renamed title loses them.
QStringList khalOccurrences(const QString &listing)
{
    QStringList lines;
    for (const QString &line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(line.simplified());
    lines.sort();
    return lines;
}

// A zone and which half of the corpus (the files in name order, every other one): a half is a test of
// its own, so that a loaded machine runs each well inside the per-test time limit.
class InteropCorpusSync : public ::testing::TestWithParam<std::tuple<const char *, int>>
{
protected:
    static const char *zone() { return std::get<0>(GetParam()); }
    static int half() { return std::get<1>(GetParam()); }
};

TEST_P(InteropCorpusSync, PhoneEditsChangeNothingButTheEditedPropertiesAndStamps)
{
    if (!QDir(kCorpusFolder).exists())
        GTEST_SKIP() << "the interop corpus is not at " << kCorpusFolder.toStdString();
    CalendarSyncRun run(zone());
    QMap<QString, QByteArray> written; // by path
    QStringList skipped;
    // The files whose names hold HM_CORPUS_FILTER alone, when it is set: one file looked into.
    const QString filter = qEnvironmentVariable("HM_CORPUS_FILTER");
    const QStringList names = QDir(kCorpusFolder).entryList({QStringLiteral("*.ics")}, QDir::Files, QDir::Name);
    for (qsizetype index = half(); index < names.size(); index += 2) {
        const QString &name = names.at(index);
        if (!name.contains(filter))
            continue;
        const QByteArray text = movedIntoRange(readFile(kCorpusFolder + QLatin1Char('/') + name));
        const auto calendar = platform::ICalendarFolder::parseCalendarText(text, QStringLiteral("corpus"));
        if (!calendar) {
            skipped.append(name + QStringLiteral(": ") + platform::ICalendarFolder::reasonNotParsed(text));
            continue;
        }
        for (const char *folder : {"work", "todo"}) {
            const bool holds = text.contains(folder == QByteArray("work") ? "BEGIN:VEVENT" : "BEGIN:VTODO");
            const QString path = run.calendarFolder(QLatin1String(folder)) + QLatin1Char('/') + name;
            if (holds)
                writeFile(path, text);
            if (holds)
                written.insert(path, text);
        }
    }

    // khal takes about a minute to index the corpus for one listing: what it lists over two years is
    // compared before and after the edits when HM_CORPUS_KHAL is set.
    const bool comparesKhal = qEnvironmentVariableIsSet("HM_CORPUS_KHAL");
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString before = comparesKhal ? run.khalList(today, QStringLiteral("730d")) : QString();
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    renameThenNoteEverything(run);
    if (HasFatalFailure())
        return;

    int edited = 0;
    QStringList changedBeyond;
    QStringList unreached;
    for (auto it = written.cbegin(); it != written.cend(); ++it) {
        const QByteArray now = readFile(it.key());
        edited += now.contains(kEdited.toUtf8()) ? 1 : 0;
        if (!now.contains(kEdited.toUtf8()))
            unreached.append(QFileInfo(it.key()).fileName());
        if (linesBeyondTheEdit(now) != linesBeyondTheEdit(it.value())) {
            changedBeyond.append(QFileInfo(it.key()).fileName());
            std::cout << "--- before\n" << it.value().toStdString() << "\n--- after\n" << now.toStdString() << "\n";
        }
    }
    QStringList added;
    for (const char *folder : {"work", "todo"}) {
        const QString path = run.calendarFolder(QLatin1String(folder));
        for (const QString &name : QDir(path).entryList({QStringLiteral("*.ics")}, QDir::Files)) {
            if (!written.contains(path + QLatin1Char('/') + name)) {
                added.append(name);
                std::cout << "--- added\n" << readFile(path + QLatin1Char('/') + name).toStdString() << "\n";
            }
        }
    }
    std::cout << "corpus half " << half() << " in " << zone() << ": files " << written.size() + skipped.size() << ", synced and edited "
              << edited << ", not reaching the phone " << written.size() - edited << ", skipped " << skipped.size()
              << ", changed beyond the edit " << changedBeyond.size() << ", added " << added.size() << "\n";
    for (const QString &line : std::as_const(skipped))
        std::cout << "  skipped " << line.toStdString() << "\n";
    for (const QString &name : std::as_const(changedBeyond))
        std::cout << "  changed beyond the edit " << name.toStdString() << "\n";
    for (const QString &name : std::as_const(unreached))
        std::cout << "  not reaching the phone " << name.toStdString() << "\n";
    EXPECT_TRUE(changedBeyond.isEmpty()) << "changed beyond the edit: " << changedBeyond.join(u',').toStdString();
    if (comparesKhal) {
        const QStringList occurrences = khalOccurrences(before);
        EXPECT_EQ(khalOccurrences(QString(run.khalList(today, QStringLiteral("730d"))).remove(kEdited)), occurrences);
        std::cout << "khal lists " << occurrences.size() << " occurrences over two years\n";
    }
    EXPECT_TRUE(added.isEmpty()) << added.join(u',').toStdString();
}

class KhalMadeFolderSync : public ::testing::TestWithParam<const char *>
{
};

// A folder made with khal's own commands (a weekly series over the change to summer time, whose
// VTIMEZONE holds only the transitions near its start, an all-day event, a timed one) and a to-do of
// todoman due at 09:00: after the phone renamed everything and gave it a note, the files differ in
// those and the stamps only, and khal and todoman list the same as before.
TEST_P(KhalMadeFolderSync, PhoneEditsKeepWhatKhalAndTodomanWrote)
{
    CalendarSyncRun run(GetParam());
    run.khal({QStringLiteral("new"), QStringLiteral("-a"), QStringLiteral("work"), QStringLiteral("-r"),
              QStringLiteral("weekly"), QStringLiteral("2027-01-11 09:00"), QStringLiteral("10:00"),
              QStringLiteral("Weekly sync")});
    run.khal({QStringLiteral("new"), QStringLiteral("-a"), QStringLiteral("work"), QStringLiteral("2027-01-13"),
              QStringLiteral("Holiday")});
    run.khal({QStringLiteral("new"), QStringLiteral("-a"), QStringLiteral("work"), QStringLiteral("2027-01-14 15:00"),
              QStringLiteral("16:30"), QStringLiteral("Dentist")});
    run.todoman({QStringLiteral("new"), QStringLiteral("-l"), QStringLiteral("Tasks"), QStringLiteral("--due"), QStringLiteral("2027-01-15 09:00"),
                 QStringLiteral("Pay bills")});
    QMap<QString, QByteArray> written;
    for (const char *folder : {"work", "todo"}) {
        const QString path = run.calendarFolder(QLatin1String(folder));
        for (const QString &name : QDir(path).entryList({QStringLiteral("*.ics")}, QDir::Files))
            written.insert(path + QLatin1Char('/') + name, readFile(path + QLatin1Char('/') + name));
    }
    ASSERT_EQ(written.size(), 4);
    const QString before = run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("730d"));
    const QByteArray tasksBefore = run.todomanList();

    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 3);
    EXPECT_EQ(run.peer().records(Conduit::Tasks).size(), 1);
    renameThenNoteEverything(run);
    if (HasFatalFailure())
        return;

    for (auto it = written.cbegin(); it != written.cend(); ++it) {
        const QByteArray now = readFile(it.key());
        EXPECT_TRUE(now.contains(kEdited.toUtf8()) && now.contains(kNote.toUtf8())) << it.key().toStdString();
        EXPECT_EQ(linesBeyondTheEdit(now), linesBeyondTheEdit(it.value())) << it.key().toStdString();
    }
    EXPECT_EQ(QString(run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("730d"))).remove(kEdited), before);
    const QJsonObject task = QJsonDocument::fromJson(run.todomanList()).array().first().toObject();
    const QJsonObject taskBefore = QJsonDocument::fromJson(tasksBefore).array().first().toObject();
    EXPECT_EQ(task.value(QStringLiteral("summary")).toString(), QStringLiteral("Pay bills") + kEdited);
    EXPECT_EQ(task.value(QStringLiteral("description")).toString(), kNote);
    EXPECT_EQ(task.value(QStringLiteral("due")), taskBefore.value(QStringLiteral("due")));
    EXPECT_EQ(task.value(QStringLiteral("due")).toInteger(), eventkittest::at("2027-01-15 09:00", GetParam()).toSecsSinceEpoch());
}

INSTANTIATE_TEST_SUITE_P(Zones, KhalMadeFolderSync,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York", "Asia/Kolkata"));

INSTANTIATE_TEST_SUITE_P(Zones, InteropCorpusSync,
                         ::testing::Combine(::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York",
                                                              "Asia/Kolkata"),
                                            ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<const char *, int>> &info) {
                             std::string name = std::get<0>(info.param);
                             for (char &c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name + "_half" + std::to_string(std::get<1>(info.param));
                         });

} // namespace
