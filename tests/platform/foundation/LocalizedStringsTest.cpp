#include "platform/foundation/LocalizedStrings.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace platform;

namespace {

const QByteArray kTable = R"(/* A block comment
   over two lines with "quotes" = "inside"; */
"adb_device_not_found" = "No device was found on USB.\nConnect the device.";
// A line comment: "commented" = "out";
"quoted" = "She said \"hello\" \\ goodbye\ttab";
"unicode" = "caf\U00e9 \u2014 done";
bare_key.with-dots = "bare";
"key alone";
"spaced"   =
    "over a line break"   ;
"preparing_%@" = "Preparing %@...";
"Harrowmere" = "Harrowmere"; "two" = "on one line";
"utf8" = "Grüße";
)";

} // namespace

TEST(LocalizedStrings, ParsesEntriesEscapesAndComments)
{
    const LocalizedStrings table = LocalizedStrings::parse(kTable, QStringLiteral("en.lproj/Localizable.strings"));
    EXPECT_TRUE(table.errors().isEmpty()) << table.errors().join(QLatin1Char('\n')).toStdString();

    struct Row
    {
        const char *key;
        QString value;
    };
    const Row rows[] = {
        {"adb_device_not_found", QStringLiteral("No device was found on USB.\nConnect the device.")},
        {"quoted", QStringLiteral("She said \"hello\" \\ goodbye\ttab")},
        {"unicode", QStringLiteral("caf\u00e9 \u2014 done")},
        {"bare_key.with-dots", QStringLiteral("bare")},
        {"key alone", QStringLiteral("key alone")},
        {"spaced", QStringLiteral("over a line break")},
        {"preparing_%@", QStringLiteral("Preparing %@...")},
        {"two", QStringLiteral("on one line")},
        {"utf8", QStringLiteral("Grüße")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_EQ(table.value(QString::fromUtf8(row.key)), row.value);
    }
    EXPECT_EQ(table.count(), 10);
    EXPECT_FALSE(table.contains(QStringLiteral("commented")));
    EXPECT_FALSE(table.contains(QStringLiteral("inside")));

    // A missing key gives the key itself, or the caller's default.
    EXPECT_EQ(table.value(QStringLiteral("qpd_not_installed")), QStringLiteral("qpd_not_installed"));
    EXPECT_EQ(table.value(QStringLiteral("qpd_not_installed"), QStringLiteral("fallback")), QStringLiteral("fallback"));
    EXPECT_EQ(table.value(QStringLiteral("device_name"), QString()), QStringLiteral("device_name"));

    // UTF-16 with a byte-order mark reads the same.
    const QString text = QStringLiteral("\"utf16\" = \"Grüße\";\n");
    QByteArray utf16("\xFF\xFE");
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    EXPECT_EQ(LocalizedStrings::parse(utf16, QStringLiteral("utf16")).value(QStringLiteral("utf16")),
              QStringLiteral("Grüße"));
}

TEST(LocalizedStrings, MalformedLinesAreReportedAndSkipped)
{
    struct Row
    {
        const char *name;
        QByteArray text;
        const char *errorPart;
    };
    const Row rows[] = {
        {"missing equals", "\"a\" = \"1\";\n\"b\" \"2\";\n\"c\" = \"3\";\n", "t.strings:2: expected '='"},
        {"missing semicolon", "\"a\" = \"1\";\n\"b\" = \"2\"\n\"c\" = \"3\";\n", "t.strings:2: expected ';'"},
        {"bad unicode escape", "\"a\" = \"1\";\n\"b\" = \"\\u12\";\n\"c\" = \"3\";\n", "four hexadecimal digits"},
        {"stray character", "\"a\" = \"1\";\n= \"2\";\n\"c\" = \"3\";\n", "t.strings:2: expected a key"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const LocalizedStrings table = LocalizedStrings::parse(row.text, QStringLiteral("t.strings"));
        ASSERT_EQ(table.errors().size(), 1) << table.errors().join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(table.errors().front().contains(QLatin1String(row.errorPart)))
            << table.errors().front().toStdString();
        EXPECT_EQ(table.value(QStringLiteral("a")), QStringLiteral("1"));
        EXPECT_EQ(table.value(QStringLiteral("c")), QStringLiteral("3"));
        EXPECT_FALSE(table.contains(QStringLiteral("b")));
    }

    // Ends that come too soon and bytes that are no text: an error, never a crash.
    EXPECT_FALSE(LocalizedStrings::parse("\"a\" = \"1\";\n/* open", QStringLiteral("t")).errors().isEmpty());
    EXPECT_FALSE(LocalizedStrings::parse("\"a\" = \"unterminated", QStringLiteral("t")).errors().isEmpty());
    EXPECT_FALSE(LocalizedStrings::parse("\"a\" = \"\\", QStringLiteral("t")).errors().isEmpty());
    EXPECT_FALSE(LocalizedStrings::parse("\"a\" = \"\xC3\x28\";", QStringLiteral("t")).errors().isEmpty());
    EXPECT_FALSE(LocalizedStrings::load(QStringLiteral("/nonexistent/Localizable.strings")).errors().isEmpty());

    // Every truncation and seeded byte flips of a real table end cleanly.
    for (qsizetype length = 0; length <= kTable.size(); ++length)
        (void)LocalizedStrings::parse(kTable.left(length), QStringLiteral("truncated")).count();
    QRandomGenerator random(20260305);
    for (int round = 0; round < 500; ++round) {
        QByteArray damaged = kTable;
        for (int flip = 0; flip < 4; ++flip)
            damaged[random.bounded(int(damaged.size()))] = char(random.bounded(256));
        (void)LocalizedStrings::parse(damaged, QStringLiteral("flipped")).count();
    }
}

TEST(Bundle, IdentityVersionsAndTheShippedStringsTable)
{
    EXPECT_EQ(Bundle::bundleIdentifier(), QStringLiteral("com.harrowmere.Harrowmere"));
    EXPECT_EQ(Bundle::displayName(), QStringLiteral("Harrowmere"));
    EXPECT_FALSE(Bundle::shortVersion().isEmpty());
    EXPECT_FALSE(Bundle::buildVersion().isEmpty());
    EXPECT_EQ(Bundle::objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString(),
              Bundle::shortVersion());
    EXPECT_EQ(Bundle::objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString(), Bundle::buildVersion());

    // The table shipped in the source tree parses cleanly and holds the USB texts.
    qunsetenv("HM_RESOURCES_DIR");
    const LocalizedStrings shipped = LocalizedStrings::load(Bundle::localizedStringsPath());
    EXPECT_TRUE(shipped.errors().isEmpty()) << shipped.errors().join(QLatin1Char('\n')).toStdString();
    for (const char *key : {"adb_device_not_found", "adb_device_not_ready", "adb_device_not_responding",
                            "qpd_not_running", "qpd_not_installed", "quillpad", "Harrowmere",
                            // the settings sheet's direction, deletion and conflict choices
                            "two_way_sync", "mac_to_device_sync", "device_to_mac_sync", "two_way_deletions_%@",
                            "last_modified_wins", "apple_wins", "duplicate", "device_%@_wins"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(shipped.contains(QString::fromLatin1(key)));
        EXPECT_EQ(Bundle::localizedString(QString::fromLatin1(key)), shipped.value(QString::fromLatin1(key)));
    }
    EXPECT_EQ(Bundle::localizedString(QStringLiteral("no_such_key")), QStringLiteral("no_such_key"));

    // HM_RESOURCES_DIR points the bundle at another resources folder.
    QTemporaryDir resources;
    ASSERT_TRUE(resources.isValid());
    ASSERT_TRUE(QDir().mkpath(resources.filePath(QStringLiteral("en.lproj"))));
    ASSERT_TRUE(writeFileAtomically(resources.filePath(QStringLiteral("en.lproj/Localizable.strings")),
                                    "\"quillpad\" = \"Other\";\n")
                    .ok());
    qputenv("HM_RESOURCES_DIR", resources.path().toLocal8Bit());
    EXPECT_EQ(Bundle::resourcePath(), resources.path());
    EXPECT_EQ(Bundle::localizedString(QStringLiteral("quillpad")), QStringLiteral("Other"));
    EXPECT_EQ(Bundle::localizedString(QStringLiteral("adb_device_not_found")), QStringLiteral("adb_device_not_found"));
    qunsetenv("HM_RESOURCES_DIR");
}
