// An Outlook contact's vCard text mapped to the contacts record, every key worked out by hand from
// the line prefixes the reader keys on; the unescaping, phone-line, label and Unicode-escape helpers.
#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"

#include <gtest/gtest.h>

#include <QTimeZone>

namespace {

// A contact as Outlook exports it, with the reader's middle-name and category lines after it: a
// prefix and suffix, an org with an escaped comma and a department, a work fax, an "assisstant"
// phone, a phone of two types, a home e-mail, a two-line street, two children, a day that does not
// exist, a note with a line break and a literal backslash-n.
const QString kCard = QStringLiteral(
    "begin:vcard\nversion:3.0\n"
    "n;charset=utf-8:Lindqvist;Åsa;Maria;Dr.;Jr. \n"
    "fn;charset=utf-8:Åsa Lindqvist\n"
    "org;charset=utf-8:Acme\\, Inc.;Research\n"
    "title;charset=utf-8:Chief Engineer\n"
    "tel;charset=utf-8;type=work:+46 8 100\n"
    "tel;charset=utf-8;type=work;type=fax:+46 8 101\n"
    "tel;charset=utf-8;type=assisstant:+46 8 102\n"
    "tel;charset=utf-8;type=cell:+46 70 103\n"
    "tel;charset=utf-8;type=work;type=pref:+46 8 104\n"
    "tel;charset=utf-8;type=home:\n"
    "email;charset=utf-8;type=internet;type=home:asa@home.example\n"
    "adr;charset=utf-8;type=work:;;Storgatan 1\\nPlan 3;Uppsala;;752 20;Sweden\n"
    "X-ms-spouse;charset=utf-8:Erik\n"
    "X-child;charset=utf-8:Ola\n"
    "X-child;charset=utf-8:Kari\\, Jr.\n"
    "X-ms-anniversary:2001-02-31\n"
    "X-custom;charset=utf-8;type=2:Blue\n"
    "url;charset=utf-8;type=home:https://asa.example\n"
    "note;charset=utf-8:First\\nSecond \\\\n & three\n"
    "bday:1980-06-15\n"
    "end:vcard\n"
    "\nMIDDLENAME:Maria\nCATEGORIES:Work\tFriends");

QVariantMap expectedRecord()
{
    QVariantMap record{
        {"NOTE", QStringLiteral("First\r\nSecond \r\n & three")},
        {"NEWLNAME", "Lindqvist"}, {"NEWFNAME", QStringLiteral("Åsa")}, {"SALUTATION", "Dr."}, {"SUFFIX", "Jr."},
        {"PROFESSION", "Chief Engineer"}, {"COMPANY", "Acme, Inc."}, {"OFFICE", "Acme, Inc.;Research"}, {"DEPARTMENT", ""},
        {"PHONELABEL1", "3"}, {"PHONE1", "+46 8 100"}, {"PHONELABEL2", "4"}, {"PHONE2", "+46 8 101"},
        {"PHONELABEL3", "19"}, {"PHONE3", "+46 8 102"}, {"PHONELABEL4", "2"}, {"PHONE4", "+46 70 103"},
        {"PHONELABEL5", "0"}, {"PHONE5", "+46 8 104"},
        {"EMAIL", ""}, {"EMAIL2", "asa@home.example"}, {"EMAIL3", ""},
        {"ADDRESS1", "Storgatan 1\r\nPlan 3"}, {"CITY", "Uppsala"}, {"STATE", ""}, {"ZIP", "752 20"}, {"COUNTRY", "Sweden"},
        {"HOMEADDR1", ""}, {"HOMECITY", ""}, {"HOMESTATE", ""}, {"HOMEZIP", ""}, {"HOMECNTRY", ""},
        {"MIDNAME", "Maria"}, {"SPOUSE", "Erik"}, {"CHILDREN", "Ola, Kari, Jr."},
        {"NSDATEBIRTHDAY", QDateTime(QDate(1980, 6, 15), QTime(0, 0), QTimeZone::systemTimeZone())},
        {"USER1", ""}, {"USER2", "Blue"}, {"USER3", ""}, {"USER4", ""}, {"USER5", ""}, {"USER6", ""}, {"USER7", ""}, {"USER8", ""},
        {"WEBURLH", "https://asa.example"}, {"WEBURLW", ""}, {"IMADDRESS1", ""},
        {"CATEGORY", "Work\tFriends"}, {"NSARRAYCATEGORIES", QStringList{"Work", "Friends"}},
    };
    for (int slot = 6; slot <= 10; ++slot) {
        record.insert(QStringLiteral("PHONELABEL%1").arg(slot), QStringLiteral("0"));
        record.insert(QStringLiteral("PHONE%1").arg(slot), QString(QLatin1String("")));
    }
    return record;
}

void expectSameRecord(const QVariantMap &actual, const QVariantMap &expected)
{
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(actual.value(it.key()), it.value()) << it.key().toStdString() << ": "
                                                      << actual.value(it.key()).toString().toStdString();
    for (auto it = actual.constBegin(); it != actual.constEnd(); ++it)
        EXPECT_TRUE(expected.contains(it.key())) << "unexpected key " << it.key().toStdString();
}

class OutlookContactMapping : public ::testing::Test
{
protected:
    void TearDown() override { GlobalVariables::setIsWiFiSync(false); }
    HMContactData m_data;
};

} // namespace

TEST_F(OutlookContactMapping, AHandWrittenCardGivesEveryKeyWorkedOutByHand)
{
    GlobalVariables::setIsWiFiSync(false);
    expectSameRecord(m_data.pppDictionaryForOutlookContact(kCard), expectedRecord());
    // The phone link also takes the typed phones: the first marker a line holds decides.
    GlobalVariables::setIsWiFiSync(true);
    QVariantMap wifi = expectedRecord();
    wifi.insert("WORKPHONE", "+46 8 100");
    wifi.insert("WORKFAX", "+46 8 101");
    wifi.insert("CELLPHONE", "+46 70 103");
    expectSameRecord(m_data.pppDictionaryForOutlookContact(kCard), wifi);
}

TEST_F(OutlookContactMapping, NoTextGivesEveryDefault)
{
    const QVariantMap record = m_data.pppDictionaryForOutlookContact(QString());
    EXPECT_EQ(record.value("NOTE"), QString());
    EXPECT_EQ(record.value("PHONELABEL10"), QStringLiteral("0"));
    EXPECT_EQ(record.value("NSARRAYCATEGORIES"), QStringList{QString()});
    EXPECT_FALSE(record.contains("CHILDREN"));
    EXPECT_FALSE(record.contains("NSDATEBIRTHDAY"));
    EXPECT_FALSE(record.contains("NSARRAYCATEGORYCOLORS"));
    EXPECT_EQ(record.size(), expectedRecord().size() - 2); // less CHILDREN and the birthday
}

TEST_F(OutlookContactMapping, LaterLinesWinFieldByFieldAndElevenPhonesFillTen)
{
    // Outlook writes a long address over lines that begin with ";": they are joined without separator.
    QString card = QStringLiteral("adr;charset=utf-8;type=home:;;Old street;Oldtown;;111;Sweden\n"
                                  "adr;charset=utf-8;type=home:;;Long street\n;Third\n");
    for (int n = 1; n <= 11; ++n)
        card += QStringLiteral("tel;charset=utf-8;type=home:%1\n").arg(n);
    GlobalVariables::setIsWiFiSync(true);
    const QVariantMap record = m_data.pppDictionaryForOutlookContact(card);
    EXPECT_EQ(record.value("HOMEADDR1"), QStringLiteral("Long street"));
    EXPECT_EQ(record.value("HOMECITY"), QStringLiteral("Third"));
    EXPECT_EQ(record.value("HOMESTATE"), QString());
    EXPECT_EQ(record.value("HOMEZIP"), QStringLiteral("111"));
    EXPECT_EQ(record.value("HOMECNTRY"), QStringLiteral("Sweden"));
    EXPECT_EQ(record.value("PHONE10"), QStringLiteral("10"));
    EXPECT_EQ(record.value("PHONELABEL10"), QStringLiteral("1"));
    EXPECT_EQ(record.value("HOMEPHONE"), QStringLiteral("1"));
    EXPECT_EQ(record.value("HOMEPHONE2"), QStringLiteral("2"));
}

TEST(OutlookContactHelpers, UnescapingPhoneLinesLabelsAndUnicode)
{
    EXPECT_EQ(HMContactData::correctedString(QVariant(42)), QString());
    EXPECT_EQ(HMContactData::correctedString(QStringLiteral("a\\;b\\,c\\\\d\\ne\\n")), QStringLiteral("a;b,c\\d\r\ne"));
    EXPECT_EQ(HMContactData::correctedString(QStringLiteral("x\r")), QStringLiteral("x"));
    // An escaped backslash before "n" ends as a line break: the order of the replacements.
    EXPECT_EQ(HMContactData::correctedString(QStringLiteral("a\\\\nb")), QStringLiteral("a\r\nb"));

    using Answer = QStringList;
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=home:1"), (Answer{"1", "1"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=main:2"), (Answer{"10", "2"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=custom:3"), (Answer{"7", "3"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=other:8"), (Answer{"7", "8"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=home;type=fax:4"), (Answer{"5", "4"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=pager:5"), (Answer{"6", "5"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=cell;type=pref:6"), (Answer{"0", "6"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=work:"), Answer{"0"});
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel:7"), (Answer{"0", "7"}));
    EXPECT_EQ(HMContactData::phoneLabelAndValueFromvCardString("tel;type=work"), Answer{"0"});

    const QStringList lines{"tel;type=work:1", "tel;type=home:2", "tel;type=work:3", "tel;type=primary:4",
                            "tel;type=home;type=fax:5", "tel;type=cell:"};
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Work", lines), QStringLiteral("1"));
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Work2", lines), QStringLiteral("3"));
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Home2", lines), QString());
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Main", lines), QStringLiteral("4"));
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("HomeFax", lines), QStringLiteral("5"));
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Mobile", lines), QString());
    EXPECT_EQ(HMContactData::getValueValueForOutlookLabel("Other", lines), QString());

    EXPECT_EQ(HMContactData::escapeUnicodeString(QStringLiteral("a\"b\\c\u007F\u00E9\u4F1F\U0001F600")),
              QStringLiteral("a\\\"b\\\\c\\u007F\\u00E9\\u4F1F\\uD83D\\uDE00"));
}
