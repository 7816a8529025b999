// Cards of other programs read and written back: vCard 2.1 and 8-bit text read, a changed record
// rewrites in its card only the lines of what changed, byte for byte everything else, and names and
// birthdays are read as their writers meant them.
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCard.h"

#include "AddressBookTestSupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

using namespace platform;

namespace {

const QDateTime kSaved(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);

VCard parsed(const QByteArray &bytes)
{
    const Result<VCard> card = VCard::parse(bytes);
    EXPECT_TRUE(card) << (card ? std::string() : card.error().message().toStdString());
    return card ? *card : VCard();
}

// The person of the card, as the book reads it: the card is its source.
std::shared_ptr<ABPerson> personOf(const VCard &card)
{
    const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(QStringLiteral("p"));
    ABVCardMapping::readCard(card, *person);
    return person;
}

QByteArray patched(const VCard &card, ABPerson &person)
{
    person.setStoredValue(kABModificationDateProperty, kSaved);
    return ABVCardMapping::patchedCard(card, person, {}, {}).serialize();
}

// A vCard 4.0 card as another program writes it: LF line ends, a folded note, a grouped phone with its
// label, a phone as a tel: URI, two ALTID names, a picture as a data: URI and lines of its own.
const QByteArray kFourZero = "BEGIN:VCARD\n"
                             "VERSION:4.0\n"
                             "UID:urn:uuid:4f0c\n"
                             "FN:Jane Doe\n"
                             "N;ALTID=1;LANGUAGE=en:Doe;Jane;;Dr.;\n"
                             "N;ALTID=1;LANGUAGE=fr:Doe;Jeanne;;Dr.;\n"
                             "item1.TEL;type=\"voice,cell\":+1 555 0100\n"
                             "item1.X-ABLabel:_$!<Mobile>!$_\n"
                             "TEL;VALUE=uri;TYPE=home:tel:+1-555-0199\n"
                             "EMAIL;TYPE=home,work:jane@example.org\n"
                             "PHOTO:data:image/png;base64,iVBORw0KGgo=\n"
                             "X-SOCIALPROFILE;type=twitter:https://example.org/jane\n"
                             "NOTE:A note folded over\n"
                             "  two lines\n"
                             "\n"
                             "END:VCARD\n";

} // namespace

TEST(VCardPatch, AChangedNoteRewritesItsLineAloneAndTheCardKeepsItsVersion)
{
    const VCard card = parsed(kFourZero);
    EXPECT_EQ(card.version(), QStringLiteral("4.0"));
    EXPECT_EQ(card.serialize(), kFourZero);
    const std::shared_ptr<ABPerson> person = personOf(card);
    // Nothing changed but the date: REV is added, every other byte stays.
    QByteArray expected = kFourZero;
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\nEND:VCARD");
    EXPECT_EQ(patched(card, *person), expected);

    person->setStoredValue(kABNoteProperty, QStringLiteral("New; note, with\nbreaks"));
    expected = kFourZero;
    expected.replace("NOTE:A note folded over\n  two lines\n\n",
                     "NOTE:New\\; note\\, with\\nbreaks\nREV:2026-12-08T09:30:00Z\n");
    EXPECT_EQ(patched(card, *person), expected);
}

TEST(VCardPatch, AChangedNumberKeepsItsLinesGroupParametersAndForm)
{
    const VCard card = parsed(kFourZero);
    const std::shared_ptr<ABPerson> person = personOf(card);
    ABMutableMultiValue phones = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy();
    ASSERT_EQ(phones.count(), 2);
    const QString cellId = phones.identifierAtIndex(0);
    const QString homeId = phones.identifierAtIndex(1);
    phones.replaceValueAtIndex(QStringLiteral("+1 555 0101"), 0);
    phones.replaceValueAtIndex(QStringLiteral("+1-555-0198"), 1);
    person->setStoredValue(kABPhoneProperty, phones.toVariant());
    QByteArray expected = kFourZero;
    expected.replace("item1.TEL;type=\"voice,cell\":+1 555 0100\n",
                     "item1.TEL;TYPE=\"voice,cell\";X-HM-ID=" + cellId.toUtf8() + ":+1 555 0101\n");
    expected.replace("TEL;VALUE=uri;TYPE=home:tel:+1-555-0199\n",
                     "TEL;VALUE=uri;TYPE=home;X-HM-ID=" + homeId.toUtf8() + ":tel:+1-555-0198\n");
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\nEND:VCARD");
    EXPECT_EQ(patched(card, *person), expected);

    // A removed phone takes its group's label along; an added one follows the last phone.
    phones.removeValueAndLabelAtIndex(0);
    phones.addValue(QStringLiteral("+1 555 0102"), kABPhoneWorkLabel, QStringLiteral("W1"));
    person->setStoredValue(kABPhoneProperty, phones.toVariant());
    const QByteArray text = patched(card, *person);
    EXPECT_FALSE(text.contains("item1.")) << text.constData();
    EXPECT_TRUE(text.contains("tel:+1-555-0198\nTEL;TYPE=WORK;X-HM-ID=W1:+1 555 0102\nEMAIL;TYPE=home,work:"))
        << text.constData();
}

TEST(VCardPatch, AChangedLabelChangesTheLinesTypesAloneOrItsGroupLabel)
{
    const VCard card = parsed(kFourZero);
    const std::shared_ptr<ABPerson> person = personOf(card);
    ABMutableMultiValue phones = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy();
    ASSERT_EQ(phones.count(), 2);
    // A known label replaces the label's types, in the case the line wrote them; VALUE=uri stays.
    phones.replaceLabelAtIndex(kABPhoneMobileLabel, 1);
    // A custom label of a line with a group label goes into the group label.
    phones.replaceLabelAtIndex(QStringLiteral("Lab"), 0);
    person->setStoredValue(kABPhoneProperty, phones.toVariant());
    QByteArray expected = kFourZero;
    expected.replace("item1.X-ABLabel:_$!<Mobile>!$_\n", "item1.X-ABLABEL:Lab\n");
    expected.replace("TEL;VALUE=uri;TYPE=home:tel:+1-555-0199\n", "TEL;VALUE=uri;TYPE=cell:tel:+1-555-0199\n");
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\nEND:VCARD");
    EXPECT_EQ(patched(card, *person), expected);

    // A known label of a grouped line: its types change, its group label goes, PREF and VOICE stay.
    phones.replaceLabelAtIndex(kABPhoneWorkLabel, 0);
    person->setStoredValue(kABPhoneProperty, phones.toVariant());
    expected = kFourZero;
    expected.replace("item1.TEL;type=\"voice,cell\":+1 555 0100\nitem1.X-ABLabel:_$!<Mobile>!$_\n",
                     "item1.TEL;TYPE=\"voice,work\":+1 555 0100\n");
    expected.replace("TEL;VALUE=uri;TYPE=home:tel:+1-555-0199\n", "TEL;VALUE=uri;TYPE=cell:tel:+1-555-0199\n");
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\nEND:VCARD");
    EXPECT_EQ(patched(card, *person), expected);
}

TEST(VCardPatch, AChangedNameRewritesNameLinesAndNothingElse)
{
    const VCard card = parsed(kFourZero);
    const std::shared_ptr<ABPerson> person = personOf(card);
    EXPECT_EQ(person->valueForProperty(kABTitleProperty).toString(), QStringLiteral("Dr."));
    person->setStoredValue(kABFirstNameProperty, QStringLiteral("Janet"));
    QByteArray expected = kFourZero;
    // The name read is the first of its ALTID forms: it alone changes, the others stay.
    expected.replace("FN:Jane Doe\nN;ALTID=1;LANGUAGE=en:Doe;Jane;;Dr.;\n",
                     "FN:Dr. Janet Doe\nN;ALTID=1;LANGUAGE=en:Doe;Janet;;Dr.;\n");
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\nEND:VCARD");
    EXPECT_EQ(patched(card, *person), expected);
}

TEST(VCardPatch, VersionTwoOneQuotedPrintableAndEightBitLinesAreRead)
{
    const QByteArray bytes = "BEGIN:VCARD\r\n"
                             "VERSION:2.1\r\n"
                             "N;CHARSET=ISO-8859-1:M\xfcller;J\xfcrgen\r\n"
                             "NOTE;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:Line one=0D=0ALine=\r\n"
                             " two =C3=A9 \\ end\r\n"
                             "ADR;WORK;QUOTED-PRINTABLE:;;92 Main St.=0ASuite 4;Newmarket;ON;L3Y 4A1;Canada\r\n"
                             "TEL;CELL:+1 555 0100\r\n"
                             "ORG:Caf\xe9\r\n"
                             "END:VCARD\r\n";
    const VCard card = parsed(bytes);
    EXPECT_EQ(card.serialize(), bytes);
    const std::shared_ptr<ABPerson> person = personOf(card);
    EXPECT_EQ(
        dumpRecord(*person).toStdString(),
        QStringLiteral("FirstName: Jürgen\nLastName: Müller\nOrganization: Café\nNote: Line one\\nLine two é \\ end\n"
                       "Phone[mobile]: +1 555 0100\nAddress[work]: {City=Newmarket, Country=Canada, State=ON, "
                       "Street=92 Main St.\\nSuite 4, ZIP=L3Y 4A1}\n")
            .toStdString());
    // A changed note beyond ASCII, with a line break, is written quoted-printable in UTF-8, both named,
    // on one line (vobject joins no soft breaks); an ASCII number plainly, its type bare as the line had
    // it; the rest stays.
    const QString note = QStringLiteral("Café, bar; =\nSecond line, long enough to need a soft line break or two ü ");
    person->setStoredValue(kABNoteProperty, note);
    ABMutableMultiValue phones = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy();
    phones.replaceValueAtIndex(QStringLiteral("+1 555 0101"), 0);
    phones.replaceLabelAtIndex(kABPhoneWorkLabel, 0);
    person->setStoredValue(kABPhoneProperty, phones.toVariant());
    QByteArray expected = bytes;
    expected.replace(bytes.mid(bytes.indexOf("NOTE"), bytes.indexOf("ADR") - bytes.indexOf("NOTE")),
                     "NOTE;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:Caf=C3=A9\\, bar\\; =3D=0D=0ASecon"
                     "d line\\, long enough to need a soft line break or two =C3=BC=20\r\n");
    expected.replace("TEL;CELL:+1 555 0100",
                     "TEL;WORK;X-HM-ID=" + phones.identifierAtIndex(0).toUtf8() + ":+1 555 0101");
    expected.replace("END:VCARD", "REV:2026-12-08T09:30:00Z\r\nEND:VCARD");
    const QByteArray written = patched(card, *person);
    EXPECT_EQ(written, expected);
    // Read back, the card says what was written.
    const std::shared_ptr<ABPerson> reread = personOf(parsed(written));
    EXPECT_EQ(reread->valueForProperty(kABNoteProperty).toString(), note);
}

TEST(VCardPatch, NamesAndBirthdaysReadAsTheirWritersMeantThem)
{
    struct Row
    {
        const char *name;
        QByteArray lines;
        const char *dump;
    };
    const Row rows[] = {
        {"FN and ORG, no N", "FN:Frank Dawson\r\nORG:Lotus Development Corporation\r\n",
         "FirstName: Frank Dawson\nOrganization: Lotus Development Corporation\n"},
        {"an N of empty parts", "N:;;;;\r\nFN:Only Formatted\r\n", "FirstName: Only Formatted\n"},
        {"a company's card", "FN:Lotus\r\nORG:Lotus\r\n", "Organization: Lotus\n"},
        {"prefix and suffix", "N:Hopper;Grace;Brewster;Rear Adm.;PhD\r\nFN:x\r\n",
         "FirstName: Grace\nLastName: Hopper\nMiddleName: Brewster\nTitle: Rear Adm.\nSuffix: PhD\n"},
        {"a birthday without its year", "FN:A\r\nBDAY:--0101\r\n", "FirstName: A\n"},
        {"the year some programs write for none", "FN:A\r\nBDAY:1604-03-17\r\n", "FirstName: A\n"},
        {"a whole birthday", "FN:A\r\nBDAY:19850317\r\n", "FirstName: A\nBirthday: 1985-03-17\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const VCard card = parsed("BEGIN:VCARD\r\nVERSION:3.0\r\n" + row.lines + "END:VCARD\r\n");
        const std::shared_ptr<ABPerson> person = personOf(card);
        QString dump = dumpRecord(*person);
        dump.remove(QRegularExpression(QStringLiteral("T\\d\\d:\\d\\d:\\d\\d\\S*")));
        EXPECT_EQ(dump.toStdString(), row.dump);
        // Read back unchanged, the card changes in nothing but its REV.
        person->setStoredValue(kABModificationDateProperty, kSaved);
        EXPECT_EQ(ABVCardMapping::patchedCard(card, *person, {}, {}).serialize(),
                  "BEGIN:VCARD\r\nVERSION:3.0\r\n" + row.lines + "REV:2026-12-08T09:30:00Z\r\nEND:VCARD\r\n");
    }
}

TEST(VCardPatch, AGroupsChangedMembersReplaceBothFormsOfMemberLines)
{
    const QByteArray bytes =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:g1\r\nX-ADDRESSBOOKSERVER-KIND:group\r\nN:Friends;;;;\r\n"
        "FN:Friends\r\nX-ADDRESSBOOKSERVER-MEMBER:urn:uuid:a\r\nX-ADDRESSBOOKSERVER-MEMBER:urn:uuid:b\r\n"
        "X-OWN:kept\r\nEND:VCARD\r\n";
    const VCard card = parsed(bytes);
    const std::shared_ptr<ABGroup> group = ABGroup::groupWithUniqueId(QStringLiteral("g1"));
    ABVCardMapping::readCard(card, *group);
    EXPECT_EQ(group->memberIds(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    group->setStoredMemberIds({QStringLiteral("a")});
    group->setStoredValue(kABModificationDateProperty, kSaved);
    EXPECT_EQ(ABVCardMapping::patchedCard(card, *group, {}, {}).serialize(),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:g1\r\nX-ADDRESSBOOKSERVER-KIND:group\r\nN:Friends;;;;\r\n"
              "FN:Friends\r\nMEMBER:urn:uuid:a\r\nX-OWN:kept\r\nREV:2026-12-08T09:30:00Z\r\nEND:VCARD\r\n");
}
