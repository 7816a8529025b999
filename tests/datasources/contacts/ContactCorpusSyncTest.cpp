// Other programs' cards through whole syncs with the phone peer: the phone edits every contact's note,
// then its name, and each card changes in nothing but the edited properties and REV, property by
// property as Python's vobject reads them, while khard lists the same names, numbers and e-mails.
#include "ContactSyncSupport.h"

#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCard.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QHash>

#include <functional>

#include <iostream>

using phonepeer::Conduit;

namespace {

const QString kCorpus = QStringLiteral(HM_INTEROP_CORPUS "/contacts");

// Prints, for each file of the first folder, the properties vobject reads differently in the second,
// but for the names allowed ("file<TAB>PROPERTY"); the lines of a file vobject cannot read are
// compared as text, name by name.
const char *const kCompareScript = R"(
import json, os, sys, vobject
def lines_of(path):
    text = open(path, encoding='utf-8', errors='replace').read().replace('\r\n', '\n')
    found = {}
    for line in text.replace('\n ', '').replace('\n\t', '').split('\n'):
        head = line.split(':', 1)[0].split(';', 1)[0]
        found.setdefault(head.split('.')[-1].upper(), []).append(line)
    return {name: sorted(lines) for name, lines in found.items()}
def properties(path):
    try:
        card = vobject.readOne(open(path, encoding='utf-8', errors='replace').read())
    except Exception:
        return lines_of(path)
    found = {}
    for line in card.lines():
        value = line.value.hex() if isinstance(line.value, bytes) else str(line.value)
        params = sorted((key.upper(), sorted(values)) for key, values in line.params.items())
        found.setdefault(line.name.upper(), []).append(json.dumps([line.group, params, value]))
    return {name: sorted(lines) for name, lines in found.items()}
before, after, allowed = sys.argv[1], sys.argv[2], set(sys.argv[3].split(','))
for name in sorted(os.listdir(before)):
    was, now = properties(os.path.join(before, name)), properties(os.path.join(after, name))
    for key in sorted(set(was) | set(now)):
        if key not in allowed and was.get(key) != now.get(key):
            print(name + '\t' + key)
)";

QStringList changedProperties(const QString &before, const QString &after, const QString &allowed)
{
    return runProgram(pythonProgram(), {QStringLiteral("-c"), QLatin1String(kCompareScript), before, after, allowed})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void copyFolder(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QString &name : QDir(from).entryList(QDir::Files)) {
        QFile::remove(to + QLatin1Char('/') + name);
        ASSERT_TRUE(QFile::copy(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name)) << name.toStdString();
    }
}

// Why each corpus file does not reach the phone, by file; files that do are left out.
QMap<QString, QString> skippedFiles(const QStringList &names)
{
    QMap<QString, QString> skipped;
    QHash<QString, QString> firstOfUid;
    for (const QString &name : names) {
        QFile file(kCorpus + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        const platform::Result<platform::VCard> card = platform::VCard::parse(file.readAll());
        if (!card) {
            skipped.insert(name, card.error().message());
            continue;
        }
        const QString uid = platform::ABVCardMapping::summarize(*card, name.chopped(4), QDateTime()).uniqueId;
        if (firstOfUid.contains(uid))
            skipped.insert(name, QStringLiteral("UID %1 is also in %2").arg(uid, firstOfUid.value(uid)));
        else
            firstOfUid.insert(uid, name);
    }
    return skipped;
}

// Gives every phone contact the fields changed by the edit, then syncs.
void editOnThePhone(ContactSyncRun &run, const std::function<void(QMap<QString, QString> &)> &edit)
{
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Contacts)) {
        QMap<QString, QString> fields = record.fields;
        edit(fields);
        ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, record.uid, fields));
    }
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
}

// How many card files of the folder hold the text (folded lines joined).
qsizetype filesHolding(ContactSyncRun &run, const QByteArray &text)
{
    const QStringList files = run.folder().cardFiles();
    return std::count_if(files.cbegin(), files.cend(),
                         [&](const QString &name) { return unfolded(run.folder().readFile(name)).contains(text); });
}

// The rows' second columns (the contact) left out: the numbers and addresses alone.
QSet<QString> firstColumns(const QSet<QString> &rows)
{
    QSet<QString> columns;
    for (const QString &row : rows)
        columns.insert(row.section(QLatin1Char('\t'), 0, 0));
    return columns;
}

qsizetype rowsHolding(const QSet<QString> &rows, const QString &text)
{
    return std::count_if(rows.cbegin(), rows.cend(), [&text](const QString &row) { return row.contains(text); });
}

// The folder's cards but the skipped ones, copied beside it: khard shows one card of a UID, which need
// not be the one that stands for it.
QString standingCards(ContactSyncRun &run, const QMap<QString, QString> &skipped)
{
    const QString standing = run.folder().path() + QStringLiteral("/../standing");
    QDir(standing).removeRecursively();
    copyFolder(run.folder().path(), standing);
    for (auto it = skipped.constBegin(); it != skipped.constEnd(); ++it)
        QFile::remove(standing + QLatin1Char('/') + it.key());
    return standing;
}

// How many contacts khard shows each number for.
QMap<QString, int> numberCounts(const QSet<QString> &rows)
{
    QMap<QString, int> counts;
    for (const QString &row : rows)
        ++counts[row.section(QLatin1Char('\t'), 0, 0)];
    return counts;
}

// The phone record's numbered phone keys that hold a number, in slot order.
QStringList numberedPhoneKeys(const QMap<QString, QString> &fields)
{
    QStringList keys;
    for (int slot = 1; slot <= 10; ++slot) {
        const QString key = QStringLiteral("PHONE%1").arg(slot);
        if (!fields.value(key).isEmpty())
            keys.append(key);
    }
    return keys;
}

// The phone changes each contact's first numbered phone (its typed copy keeps the old number), then
// deletes its last one of several: khard shows the numbers changed and gone, nothing else.
void changeAndDeleteNumbersOnThePhone(ContactSyncRun &run, const QMap<QString, QString> &skipped)
{
    QMap<QString, int> numbers = numberCounts(khardRows(standingCards(run, skipped), QStringLiteral("phone")));
    // A number khard shows for one contact fewer, and another for one more (khard reads some cards not).
    const auto move = [&numbers](const QString &from, const QString &to) {
        if (numbers.value(from) == 0)
            return;
        if (--numbers[from] == 0)
            numbers.remove(from);
        if (!to.isEmpty())
            ++numbers[to];
    };
    editOnThePhone(run, [&move](QMap<QString, QString> &fields) {
        const QStringList keys = numberedPhoneKeys(fields);
        if (keys.isEmpty())
            return;
        move(fields.value(keys.first()), fields.value(keys.first()) + QStringLiteral("0"));
        fields.insert(keys.first(), fields.value(keys.first()) + QStringLiteral("0"));
    });
    EXPECT_EQ(numberCounts(khardRows(standingCards(run, skipped), QStringLiteral("phone"))), numbers);
    editOnThePhone(run, [&move](QMap<QString, QString> &fields) {
        const QStringList keys = numberedPhoneKeys(fields);
        if (keys.size() < 2)
            return;
        const QString deleted = fields.value(keys.last());
        move(deleted, QString());
        fields.removeIf([&deleted](const auto &field) {
            return field.key().endsWith(QLatin1String("PHONE")) && field.value() == deleted;
        });
        fields.insert(keys.last(), QString());
        fields.insert(QStringLiteral("PHONELABEL") + keys.last().mid(5), QStringLiteral("0"));
    });
    EXPECT_EQ(numberCounts(khardRows(standingCards(run, skipped), QStringLiteral("phone"))), numbers);
}

} // namespace

TEST(ContactCorpusSync, PhoneEditsChangeOtherProgramsCardsInTheEditedPropertiesAlone)
{
    if (!QDir(kCorpus).exists())
        GTEST_SKIP() << "no interop corpus at " << kCorpus.toStdString();
    ContactSyncRun run;
    const QStringList names = QDir(kCorpus).entryList({QStringLiteral("*.vcf")}, QDir::Files, QDir::Name);
    copyFolder(kCorpus, run.folder().path());
    const QString before = run.folder().path() + QStringLiteral("/../before");
    copyFolder(run.folder().path(), before);
    const QSet<QString> listed = khardRows(run, QStringLiteral("list"));
    const QSet<QString> phones = khardRows(run, QStringLiteral("phone"));
    const QSet<QString> emails = khardRows(run, QStringLiteral("email"));
    ASSERT_TRUE(run.sync().isSuccess);
    const QMap<QString, QString> skipped = skippedFiles(names);
    EXPECT_EQ(run.peer().records(Conduit::Contacts).size(), names.size() - skipped.size());
    EXPECT_TRUE(changedProperties(before, run.folder().path(), QStringLiteral("REV")).isEmpty());
    // A person known by FN and organization goes to the phone by name; a card of N:;;;; by its FN, and
    // its birthday of no year not at all.
    const std::optional<phonepeer::PhoneRecord> frank =
        run.phoneContact(QStringLiteral("COMPANY"), QStringLiteral("Lotus Development Corporation"));
    ASSERT_TRUE(frank);
    EXPECT_EQ(frank->fields.value(QStringLiteral("NEWFNAME")), QStringLiteral("Frank Dawson"));
    const std::optional<phonepeer::PhoneRecord> yearless =
        run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("Test bday without year Thunderbird CardBook"));
    ASSERT_TRUE(yearless);
    EXPECT_FALSE(yearless->fields.contains(QStringLiteral("BIRTHDAY")));

    editOnThePhone(run, [](QMap<QString, QString> &fields) {
        fields.insert(QStringLiteral("NOTE"), QStringLiteral("Edited on the phone"));
    });
    const QStringList afterNote = changedProperties(before, run.folder().path(), QStringLiteral("NOTE,REV"));
    EXPECT_TRUE(afterNote.isEmpty()) << afterNote.join(QLatin1Char('\n')).toStdString();
    const qsizetype synced = run.peer().records(Conduit::Contacts).size();
    EXPECT_EQ(filesHolding(run, "NOTE:Edited on the phone"), synced);
    EXPECT_EQ(khardRows(run, QStringLiteral("list")), listed);
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")), phones);
    EXPECT_EQ(khardRows(run, QStringLiteral("email")), emails);

    // A name beyond ASCII: vCard 2.1 cards get it quoted-printable, which khard reads like the rest.
    editOnThePhone(run, [](QMap<QString, QString> &fields) {
        fields.insert(QStringLiteral("NEWFNAME"), QStringLiteral("Renamé"));
    });
    const QStringList afterName = changedProperties(before, run.folder().path(), QStringLiteral("NOTE,REV,N,FN"));
    EXPECT_TRUE(afterName.isEmpty()) << afterName.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(filesHolding(run, "Renam"), synced);
    const QSet<QString> renamed = khardRows(standingCards(run, skipped), QStringLiteral("list"));
    EXPECT_FALSE(renamed.isEmpty());
    EXPECT_EQ(rowsHolding(renamed, QStringLiteral("Renamé")), renamed.size());
    EXPECT_EQ(firstColumns(khardRows(run, QStringLiteral("phone"))), firstColumns(phones));
    EXPECT_EQ(firstColumns(khardRows(run, QStringLiteral("email"))), firstColumns(emails));

    changeAndDeleteNumbersOnThePhone(run, skipped);
    const QStringList afterPhones =
        changedProperties(before, run.folder().path(), QStringLiteral("NOTE,REV,N,FN,TEL,X-ABLABEL"));
    EXPECT_TRUE(afterPhones.isEmpty()) << afterPhones.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(firstColumns(khardRows(run, QStringLiteral("email"))), firstColumns(emails));

    // The table of the run: every file, and why those that stay on the desktop alone do.
    std::cout << "files " << names.size() << ", synced " << run.peer().records(Conduit::Contacts).size() << ", skipped "
              << skipped.size() << ", changed beyond the edits "
              << afterNote.size() + afterName.size() + afterPhones.size() << "\n";
    for (auto it = skipped.constBegin(); it != skipped.constEnd(); ++it)
        std::cout << "  skipped " << it.key().toStdString() << ": " << it.value().toStdString() << "\n";
}
