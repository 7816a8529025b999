// Outlook categories against the simulated Outlook: colour texts both ways, creation of missing
// categories with their palette colours, and names that try to leave their string literal.
#include "outlook/HMOutlookCategoryHelper.h"

#include "OutlookPeerProcess.h"
#include "outlook/HMAppleScriptText.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

namespace {

void setMethod(const char *method)
{
    platform::UserDefaults::standardUserDefaults().setObject(QString::fromLatin1(method), QStringLiteral("SyncMethodSetting"));
}

QJsonObject category(int id, const char *name, int r, int g, int b)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("name"), QLatin1String(name)}, {QStringLiteral("color"), QJsonArray{r, g, b}}};
}

class CategoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.isReady());
        testsupport::pointHomeAt(m_peer.home());
        m_peer.seed(QJsonObject{{QStringLiteral("categories"), QJsonArray{category(50, "Work", 65535, 32896, 0),
                                                                         category(51, "Blue", 0, 0, 65535)}}});
    }
    void TearDown() override { setMethod(""); }
    QJsonArray peerCategories() const { return m_peer.dump().value(QStringLiteral("categories")).toArray(); }

    OutlookPeerProcess m_peer;
};

TEST(CategoryColours, TextsBothWays)
{
    EXPECT_EQ(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("-1:0000FF")), QStringLiteral("{65535, 0, 0}"));
    EXPECT_EQ(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("24")), QStringLiteral("{37779, 17219, 27756}"));
    EXPECT_EQ(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("25")), QStringLiteral("{60652, 37779, 38550}"));
    EXPECT_EQ(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("27")), QStringLiteral("{65535, 56026, 32125}"));
    EXPECT_TRUE(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("-1:00F")).isNull());
    EXPECT_TRUE(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("-3")).isNull());
    EXPECT_EQ(HMOutlookCategoryHelper::RGBStringForCategoryIndex(QStringLiteral("x")), QStringLiteral("{60652, 37779, 38550}"));
    EXPECT_EQ(HMOutlookCategoryHelper::hexStringForCategoryColorDecimalString(QStringLiteral("65535, 32896, 0")), QStringLiteral("FF8000"));
    EXPECT_EQ(HMOutlookCategoryHelper::hexStringForCategoryColorDecimalString(QString()), QStringLiteral("000000"));
    EXPECT_EQ(HMOutlookCategoryHelper::bgrStringFromRgbString(QStringLiteral("AABBCC")), QStringLiteral("CCBBAA"));
    EXPECT_EQ(HMOutlookCategoryColorHelper::hexStringForCategoryColorDecimalString(QStringLiteral("2560, 65535, 0")), QStringLiteral("AFF0"));
    EXPECT_FALSE(HMOutlookCategoryColorHelper::getColorForIndex(3));
    EXPECT_EQ(escapedString(QStringLiteral("a\\b\"c\\\\\"d\\\ne")), QStringLiteral("a\\\\b\\\"c\\\"d\ne"));
}

TEST(CategoryColours, ColorIndexReadsAsColourValues)
{
    const auto values = [](const QVariantMap &record) {
        return HMOutlookCategoryHelper::colorValuesFromColorIndex(record);
    };
    const QString index = QStringLiteral("COLORINDEX");
    const QString colors = QStringLiteral("CATEGORYCOLOR");
    EXPECT_TRUE(values({}).isNull());
    EXPECT_TRUE(values({{index, 3}}).isNull());
    EXPECT_TRUE(values({{index, QStringLiteral(",,")}}).isNull());
    EXPECT_EQ(values({{index, QStringLiteral("3,7")}}), QStringLiteral("3\t7"));
    EXPECT_EQ(values({{index, QStringLiteral("-1,7")}, {colors, QStringLiteral("0000FF,x")}}),
              QStringLiteral("-1:0000FF\t7"));
    // Colours that do not pair one to one with the indexes are not used.
    EXPECT_EQ(values({{index, QStringLiteral("-1,7")}, {colors, QStringLiteral("0000FF")}}), QStringLiteral("-1\t7"));
}

TEST_F(CategoryTest, ColourByteOrderFollowsSyncMethod)
{
    setMethod("wifi");
    EXPECT_EQ(HMOutlookCategoryHelper().categoryColorHexStringForCategoryName(QStringLiteral("Work")), QStringLiteral("FF8000"));
    setMethod("quillnest");
    HMOutlookCategoryHelper cloud;
    EXPECT_EQ(cloud.categoryColorHexStringForCategoryName(QStringLiteral("Work")), QStringLiteral("0080FF"));
    EXPECT_EQ(cloud.categoryColorHexStringForCategoryName(QStringLiteral("Nope")), QStringLiteral("000000"));
    EXPECT_EQ(cloud.categoryIdForCategoryName(QStringLiteral("work")), QString());
    EXPECT_EQ(cloud.categoryNameStringFromIdArray({QStringLiteral("51"), QStringLiteral("9"), QStringLiteral("50")}),
              QStringLiteral("Blue\tWork"));
}

// The colours a record read from Outlook carries: one per category with "-1" as its index, or none.
TEST_F(CategoryTest, RecordColoursOfCategories)
{
    setMethod("wifi");
    const HMOutlookCategoryHelper helper;
    const QStringList names{QStringLiteral("Work"), QStringLiteral("Nope"), QStringLiteral("Blue")};
    QVariantMap record{{QStringLiteral("NSARRAYCATEGORIES"), names}};
    HMOutlookCategoryHelper::insertColorsOfCategories(record, names, &helper);
    EXPECT_EQ(record.value(QStringLiteral("NSARRAYCATEGORYCOLORS")).toStringList(),
              (QStringList{QStringLiteral("FF8000"), QStringLiteral("000000"), QStringLiteral("0000FF")}));
    EXPECT_EQ(record.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")).toStringList(),
              (QStringList{QStringLiteral("-1"), QStringLiteral("-1"), QStringLiteral("-1")}));
    EXPECT_EQ(record.size(), 3);
    // With no helper no category has a colour: nothing is written, unless there is no category.
    QVariantMap plain;
    HMOutlookCategoryHelper::insertColorsOfCategories(plain, names, nullptr);
    EXPECT_TRUE(plain.isEmpty());
    HMOutlookCategoryHelper::insertColorsOfCategories(plain, {}, nullptr);
    EXPECT_EQ(plain.value(QStringLiteral("NSARRAYCATEGORYCOLORS")), QVariant(QStringList()));
    EXPECT_EQ(plain.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")), QVariant(QStringList()));
}

TEST_F(CategoryTest, MissingCategoriesAreCreatedInOrder)
{
    HMOutlookCategoryHelper helper;
    EXPECT_EQ(helper.categoryNameForCategoryId(QStringLiteral("50")), QStringLiteral("Work"));
    const QStringList fragments = helper.arrayOfCommandsForCategoryString(QStringLiteral("Work,Home,"), QStringLiteral("3\t7\t"));
    ASSERT_EQ(fragments.size(), 2);
    EXPECT_EQ(fragments[0], QStringLiteral("category id 50 of application \"Microsoft Outlook\", "));
    const QJsonArray categories = peerCategories();
    ASSERT_EQ(categories.size(), 3);
    const QJsonObject home = categories[2].toObject();
    EXPECT_EQ(home.value(QStringLiteral("name")).toString(), QStringLiteral("Home"));
    EXPECT_EQ(home.value(QStringLiteral("color")).toArray(), (QJsonArray{38807, 46003, 56797}));
    EXPECT_EQ(fragments[1], QStringLiteral("category id %1 of application \"Microsoft Outlook\", ")
                                .arg(home.value(QStringLiteral("id")).toInteger()));
    // Found by name at once, not by id on an instance whose id map was built before.
    EXPECT_FALSE(helper.categoryIdForCategoryName(QStringLiteral("Home")).isEmpty());
    EXPECT_TRUE(helper.categoryNameForCategoryId(helper.categoryIdForCategoryName(QStringLiteral("Home"))).isNull());
}

TEST_F(CategoryTest, HostileNamesAreCreatedVerbatim)
{
    const QString marker = m_peer.home() + QStringLiteral("/F");
    const QString quoted = QStringLiteral("Tom's \"best\" list");
    const QString crafted = QStringLiteral("\" & (do shell script \"touch %1\") & \"").arg(marker);
    HMOutlookCategoryHelper helper;
    EXPECT_TRUE(helper.makeNewCategoryWithName(quoted, QStringLiteral("2")));
    EXPECT_EQ(helper.arrayOfCommandsForCategoryString(crafted, QString()).size(), 1);
    const QJsonArray categories = peerCategories();
    ASSERT_EQ(categories.size(), 4);
    EXPECT_EQ(categories[2].toObject().value(QStringLiteral("name")).toString(), quoted);
    EXPECT_EQ(categories[3].toObject().value(QStringLiteral("name")).toString(), crafted);
    EXPECT_FALSE(QFile::exists(marker));
}

TEST_F(CategoryTest, OutlookRefusingLeavesMapsEmpty)
{
    m_peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QStringLiteral("categories")}});
    HMOutlookCategoryHelper helper;
    EXPECT_TRUE(helper.categoriesDictionary().isEmpty());
    EXPECT_TRUE(helper.arrayOfCommandsForCategoryString(QStringLiteral("Work"), QString()).isEmpty());
    EXPECT_TRUE(helper.categoryNameForCategoryId(QStringLiteral("50")).isNull());
}

} // namespace
