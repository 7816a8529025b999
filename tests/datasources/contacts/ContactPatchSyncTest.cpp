// Phone edits of cards other programs made: a contact made with khard survives the phone's edits of its
// note, its name, a labelled phone and its address unchanged but for them, line for line; the phone's numbered
// phones land as one TEL each that khard shows.
#include "ContactSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>

using phonepeer::Conduit;

namespace {

const QByteArray kTemplate =
    "Prefix     : Rear Adm.\n"
    "First name : Grace\n"
    "Last name  : Hopper\n"
    "Suffix     : PhD\n"
    "Phone :\n    cell : +1 555 0100\n    Lab : +1 555 0199\n"
    "Email :\n    home : grace@home.example\n    work : grace@navy.example\n"
    "Address :\n    home :\n        Box      : PO Box 42\n        Extended : Building 7\n"
    "        Street   : 1 Harbour Road\n        Code     : 21401\n        City     : Annapolis\n"
    "        Region   : MD\n        Country  : USA\n"
    "Note : Wrote the first compiler\n";

// A card line's name, without its group, parameters and value.
QByteArray nameOf(const QByteArray &line)
{
    const QByteArray head = line.left(line.indexOf(':')).split(';').first();
    return head.mid(head.lastIndexOf('.') + 1).toUpper();
}

// The card's lines (folds joined) but those of the names given, in file order.
QByteArrayList linesExcept(const QByteArray &card, const QList<QByteArray> &names)
{
    QByteArrayList kept;
    for (const QByteArray &line : unfolded(card).replace("\n ", "").split('\n')) {
        if (!names.contains(nameOf(line)))
            kept.append(line);
    }
    return kept;
}

// The first line of the name, folds joined.
QByteArray lineOf(const QByteArray &card, const QByteArray &name)
{
    const QByteArrayList lines = linesExcept(card, {});
    const auto found =
        std::find_if(lines.cbegin(), lines.cend(), [&](const QByteArray &line) { return nameOf(line) == name; });
    return found == lines.cend() ? QByteArray() : found->trimmed();
}

void editOnPhone(ContactSyncRun &run, const QString &key, const QString &from, const QString &to)
{
    const std::optional<phonepeer::PhoneRecord> record = run.phoneContact(key, from);
    ASSERT_TRUE(record) << key.toStdString() << " " << from.toStdString();
    QMap<QString, QString> fields = record->fields;
    fields.insert(key, to);
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, record->uid, fields));
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
}

// The phone key whose field holds the value.
QString phoneKeyHolding(ContactSyncRun &run, const QString &value)
{
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Contacts)) {
        for (auto it = record.fields.constBegin(); it != record.fields.constEnd(); ++it) {
            if (it.key().startsWith(QLatin1String("PHONE")) && it.value() == value)
                return it.key();
        }
    }
    return QString();
}

// Changes the phone's contact that has the value in the field, as the phone's own edit would, and syncs.
void changeOnPhone(ContactSyncRun &run, const QString &key, const QString &value,
                   const std::function<void(QMap<QString, QString> &)> &change)
{
    const std::optional<phonepeer::PhoneRecord> record = run.phoneContact(key, value);
    ASSERT_TRUE(record) << key.toStdString() << " " << value.toStdString();
    QMap<QString, QString> fields = record->fields;
    change(fields);
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, record->uid, fields));
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
}

struct MadeCard
{
    QString file;
    QByteArray text;
};

// A card made by khard from the template and synced once to the phone, which leaves it as it was.
MadeCard madeWithKhard(ContactSyncRun &run, const QByteArray &yaml)
{
    QFile input(run.folder().path() + QStringLiteral("/../template.yaml"));
    EXPECT_TRUE(input.open(QIODevice::WriteOnly));
    input.write(yaml);
    input.close();
    runProgram(QStringLiteral("khard"),
               {QStringLiteral("-c"), khardConfig(run), QStringLiteral("new"), QStringLiteral("-i"), input.fileName()});
    EXPECT_EQ(run.folder().cardFiles().size(), 1);
    const MadeCard made{run.folder().cardFiles().value(0), run.folder().readFile(run.folder().cardFiles().value(0))};
    EXPECT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.folder().readFile(made.file), made.text);
    return made;
}

} // namespace

TEST(ContactPatchSync, AKhardContactSurvivesPhoneEditsUnchangedButForThem)
{
    ContactSyncRun run;
    const auto [file, made] = madeWithKhard(run, kTemplate);
    ASSERT_FALSE(file.isEmpty());
    const std::optional<phonepeer::PhoneRecord> grace =
        run.phoneContact(QStringLiteral("NEWLNAME"), QStringLiteral("Hopper PhD"));
    ASSERT_TRUE(grace);
    EXPECT_EQ(grace->fields.value(QStringLiteral("SALUTATION")), QStringLiteral("Rear Adm."));

    editOnPhone(run, QStringLiteral("NOTE"), QStringLiteral("Wrote the first compiler"),
                QStringLiteral("Found the first bug"));
    QByteArray card = run.folder().readFile(file);
    EXPECT_EQ(linesExcept(card, {"NOTE", "REV"}), linesExcept(made, {"NOTE", "REV"}));
    EXPECT_EQ(lineOf(card, "NOTE"), "NOTE:Found the first bug");

    editOnPhone(run, QStringLiteral("NEWFNAME"), grace->fields.value(QStringLiteral("NEWFNAME")),
                QStringLiteral("Rear Adm. Amazing Grace"));
    card = run.folder().readFile(file);
    EXPECT_EQ(linesExcept(card, {"NOTE", "REV", "N", "FN"}), linesExcept(made, {"NOTE", "REV", "N", "FN"}));
    EXPECT_EQ(lineOf(card, "N"), "N:Hopper;Amazing Grace;;Rear Adm.;PhD");

    const QString labelled = phoneKeyHolding(run, QStringLiteral("+1 555 0199"));
    ASSERT_FALSE(labelled.isEmpty());
    editOnPhone(run, labelled, QStringLiteral("+1 555 0199"), QStringLiteral("+1 555 0198"));
    card = run.folder().readFile(file);
    EXPECT_EQ(linesExcept(card, {"NOTE", "REV", "N", "FN", "TEL"}),
              linesExcept(made, {"NOTE", "REV", "N", "FN", "TEL"}));
    EXPECT_TRUE(card.contains("\r\nTEL;TYPE=cell:+1 555 0100\r\n")) << card.constData();
    EXPECT_TRUE(card.contains("\r\nitemtel1.TEL;TYPE=X-Lab;X-HM-ID=")) << card.constData();
    EXPECT_TRUE(card.contains(":+1 555 0198\r\nitemtel1.X-ABLABEL:Lab\r\n")) << card.constData();
    EXPECT_EQ(card.count("TEL"), 2);
    EXPECT_EQ(lineOf(card, "FN"), "FN:Rear Adm. Amazing Grace Hopper PhD");
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")),
              (QSet<QString>{QStringLiteral("+1 555 0100\tAmazing Grace Hopper"),
                             QStringLiteral("+1 555 0198\tAmazing Grace Hopper")}));

    // An address the phone edits keeps the post-office box and extended address it has no fields for.
    editOnPhone(run, QStringLiteral("HOMECITY"), QStringLiteral("Annapolis"), QStringLiteral("Baltimore"));
    card = run.folder().readFile(file);
    EXPECT_EQ(linesExcept(card, {"NOTE", "REV", "N", "FN", "TEL", "ADR"}),
              linesExcept(made, {"NOTE", "REV", "N", "FN", "TEL", "ADR"}));
    EXPECT_TRUE(lineOf(card, "ADR").startsWith("ADR;TYPE=home;X-HM-ID=")) << card.constData();
    EXPECT_TRUE(lineOf(card, "ADR").endsWith(":PO Box 42;Building 7;1 Harbour Road;Baltimore;MD;21401;USA"))
        << card.constData();
}

TEST(ContactPatchSync, NumberedPhonesLandAsOneTelEach)
{
    ContactSyncRun run;
    // The phone's sample contact: a numbered phone with its label and no typed field.
    run.peer().addPhoneRecord(Conduit::Contacts, phoneFields({{"NEWFNAME", QStringLiteral("Ada")},
                                                              {"NEWLNAME", QStringLiteral("Lovelace")},
                                                              {"PHONE1", QStringLiteral("+44 20 7946 0001")},
                                                              {"PHONELABEL1", QStringLiteral("2")}}));
    // A number both typed and numbered, and a numbered one of its own.
    run.peer().addPhoneRecord(Conduit::Contacts, phoneFields({{"NEWFNAME", QStringLiteral("Charles")},
                                                              {"NEWLNAME", QStringLiteral("Babbage")},
                                                              {"HOMEPHONE", QStringLiteral("+44 20 7946 0002")},
                                                              {"PHONE1", QStringLiteral("+44 20 7946 0002")},
                                                              {"PHONELABEL1", QStringLiteral("1")},
                                                              {"PHONE2", QStringLiteral("+44 20 7946 0003")},
                                                              {"PHONELABEL2", QStringLiteral("3")}}));
    ASSERT_TRUE(run.sync().isSuccess);
    const QSet<QString> expected = {QStringLiteral("+44 20 7946 0001\tAda Lovelace"),
                                    QStringLiteral("+44 20 7946 0002\tCharles Babbage"),
                                    QStringLiteral("+44 20 7946 0003\tCharles Babbage")};
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")), expected);
    EXPECT_TRUE(unfolded(run.folder().readFile(run.fileHolding("Lovelace"))).contains("TEL;TYPE=CELL;X-HM-ID="));
    // The phone edits the note: each number stays one line.
    const std::optional<phonepeer::PhoneRecord> charles =
        run.phoneContact(QStringLiteral("NEWLNAME"), QStringLiteral("Babbage"));
    ASSERT_TRUE(charles);
    QMap<QString, QString> fields = charles->fields;
    fields.insert(QStringLiteral("NOTE"), QStringLiteral("Difference engine"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, charles->uid, fields));
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")), expected);
    EXPECT_EQ(run.folder().readFile(run.fileHolding("Babbage")).count("\r\nTEL;"), 2);
}

TEST(ContactPatchSync, PhoneChangesOfTypedFieldsDeletionsAndLabelsChangeTheirLinesAlone)
{
    ContactSyncRun run;
    const auto [file, made] = madeWithKhard(run, "First name : Ada\nLast name : Byron\n"
                                                 "Phone :\n    cell : +1 555 0100\n    Lab : +1 555 0199\n"
                                                 "    work : +1 555 0150\n"
                                                 "Note : Poet's daughter\n");
    ASSERT_FALSE(file.isEmpty());
    // The phone changes the typed field alone; the numbered copy still holds the old number.
    const QString cellKey = phoneKeyHolding(run, QStringLiteral("+1 555 0100"));
    ASSERT_FALSE(cellKey.isEmpty());
    changeOnPhone(run, QStringLiteral("CELLPHONE"), QStringLiteral("+1 555 0100"), [](QMap<QString, QString> &fields) {
        fields.insert(QStringLiteral("CELLPHONE"), QStringLiteral("+1 555 0101"));
    });
    QByteArray card = run.folder().readFile(file);
    EXPECT_EQ(linesExcept(card, {"TEL", "REV"}), linesExcept(made, {"TEL", "REV"}));
    EXPECT_TRUE(lineOf(card, "TEL").startsWith("TEL;TYPE=cell;X-HM-ID=")) << card.constData();
    EXPECT_TRUE(lineOf(card, "TEL").endsWith(":+1 555 0101")) << card.constData();
    EXPECT_FALSE(card.contains("+1 555 0100")) << card.constData();
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")),
              (QSet<QString>{QStringLiteral("+1 555 0101\tAda Byron"), QStringLiteral("+1 555 0199\tAda Byron"),
                             QStringLiteral("+1 555 0150\tAda Byron")}));

    // A number deleted on the phone takes its line (and its group's label) along, nothing else.
    const QByteArray beforeDelete = card;
    const QString labKey = phoneKeyHolding(run, QStringLiteral("+1 555 0199"));
    ASSERT_FALSE(labKey.isEmpty());
    changeOnPhone(run, labKey, QStringLiteral("+1 555 0199"), [&labKey](QMap<QString, QString> &fields) {
        fields.insert(labKey, QString());
        fields.insert(QStringLiteral("PHONELABEL") + labKey.mid(5), QStringLiteral("0"));
    });
    card = run.folder().readFile(file);
    QByteArrayList expected = linesExcept(beforeDelete, {"REV"});
    expected.removeIf([](const QByteArray &line) { return line.contains("itemtel1."); });
    EXPECT_EQ(linesExcept(card, {"REV"}), expected) << card.constData();
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")),
              (QSet<QString>{QStringLiteral("+1 555 0101\tAda Byron"), QStringLiteral("+1 555 0150\tAda Byron")}));

    // A label changed on the phone changes the line's type alone, in the card's own case.
    const QString workKey = phoneKeyHolding(run, QStringLiteral("+1 555 0150"));
    ASSERT_FALSE(workKey.isEmpty());
    changeOnPhone(run, QStringLiteral("WORKPHONE"), QStringLiteral("+1 555 0150"),
                  [&workKey](QMap<QString, QString> &fields) {
                      fields.remove(QStringLiteral("WORKPHONE"));
                      fields.insert(QStringLiteral("HOMEPHONE"), QStringLiteral("+1 555 0150"));
                      fields.insert(QStringLiteral("PHONELABEL") + workKey.mid(5), QStringLiteral("1"));
                  });
    const QByteArray relabelled = run.folder().readFile(file);
    expected = linesExcept(card, {"REV"});
    for (QByteArray &line : expected)
        line.replace("TEL;TYPE=work:+1 555 0150", "TEL;TYPE=home:+1 555 0150");
    EXPECT_EQ(linesExcept(relabelled, {"REV"}), expected) << relabelled.constData();
    EXPECT_EQ(run.phoneContact(QStringLiteral("HOMEPHONE"), QStringLiteral("+1 555 0150")).has_value(), true);
}
