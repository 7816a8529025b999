#include "platform/foundation/Locale.h"

#include <QByteArray>

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Sets the locale variables for one test and restores them.
class LocaleEnvironment : public testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *name : kNames)
            m_saved.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        for (const char *name : kNames)
            qunsetenv(name);
    }
    void TearDown() override
    {
        for (const Saved &saved : m_saved) {
            if (saved.wasSet)
                qputenv(saved.name, saved.value);
            else
                qunsetenv(saved.name);
        }
        Locale::setCurrent(std::nullopt);
    }

private:
    static constexpr const char *kNames[] = {"LC_ALL", "LC_TIME", "LANG"};
    struct Saved
    {
        const char *name;
        QByteArray value;
        bool wasSet;
    };
    std::vector<Saved> m_saved;
};

} // namespace

TEST_F(LocaleEnvironment, CurrentLocaleComesFromTheEnvironmentUnlessSet)
{
    struct Row
    {
        const char *lcAll;
        const char *lcTime;
        const char *lang;
        const char *identifier;
    };
    const Row rows[] = {
        {nullptr, nullptr, "de_DE.UTF-8", "de_DE"},
        {nullptr, "en_GB.UTF-8", "de_DE.UTF-8", "en_GB"},
        {"fr_FR@euro", "en_GB.UTF-8", "de_DE.UTF-8", "fr_FR"},
        {nullptr, nullptr, "C.UTF-8", "en_US_POSIX"},
        {nullptr, nullptr, "POSIX", "en_US_POSIX"},
        {nullptr, nullptr, nullptr, "en_US_POSIX"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.identifier);
        const std::pair<const char *, const char *> variables[] = {
            {"LC_ALL", row.lcAll}, {"LC_TIME", row.lcTime}, {"LANG", row.lang}};
        for (const auto &[name, value] : variables) {
            if (value)
                qputenv(name, value);
            else
                qunsetenv(name);
        }
        EXPECT_EQ(Locale::current().identifier(), QString::fromLatin1(row.identifier));
    }

    Locale::setCurrent(Locale(QStringLiteral("ja_JP")));
    EXPECT_EQ(Locale::current().identifier(), QStringLiteral("ja_JP"));
    Locale::setCurrent(std::nullopt);
    EXPECT_EQ(Locale::current().identifier(), QStringLiteral("en_US_POSIX"));
}

TEST(Locale, KeepsTheIdentifierAsGivenAndUsesItsConventions)
{
    const Locale lowerCase(QStringLiteral("en_us"));
    EXPECT_EQ(lowerCase.identifier(), QStringLiteral("en_us"));
    EXPECT_STREQ(lowerCase.icuLocale().getCountry(), "US");
    EXPECT_STREQ(Locale(QStringLiteral("de-DE")).icuLocale().getLanguage(), "de");

    const Locale neutral = Locale::system();
    EXPECT_EQ(neutral.identifier(), QString());
    EXPECT_STREQ(neutral.icuLocale().getName(), "");
}

TEST(Locale, CarriesTextsBetweenQtAndIcuUnchanged)
{
    const QString text = QStringLiteral("Stra\u00dfe \u65e5\u672c \U0001F600 \u202f");
    const icu::UnicodeString unicodeText = toUnicodeString(text);
    EXPECT_EQ(unicodeText.length(), text.size());
    EXPECT_EQ(fromUnicodeString(unicodeText), text);
    EXPECT_TRUE(fromUnicodeString(toUnicodeString(QString())).isEmpty());
}
