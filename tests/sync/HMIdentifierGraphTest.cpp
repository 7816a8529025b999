#include "sync/HMIdentifierGraph.h"

#include "foundation/Lumberjack/DDLog.h"

#include "ProfileTestSupport.h"
#include "foundation/LogCapture.h"


#include <gtest/gtest.h>

namespace {

QVariantMap entry(const QString &hmUid, const QString &nativeId, const QVariantMap &more = {})
{
    QVariantMap dictionary = more;
    dictionary.insert(QStringLiteral("hmUid"), hmUid);
    dictionary.insert(QStringLiteral("nativeId"), nativeId);
    return dictionary;
}

QString hmUidOf(const QVariantMap &dictionary)
{
    return dictionary.value(QStringLiteral("hmUid")).toString();
}

QString nativeIdOf(const QVariantMap &dictionary)
{
    return dictionary.value(QStringLiteral("nativeId")).toString();
}

} // namespace

TEST(HMIdentifierGraph, LooksUpExactlyAndPicksTheFirstOfDuplicates)
{
    HMIdentifierGraph graph;
    graph.identifierDictionaries() = {entry(QStringLiteral("uid-1"), QStringLiteral("native-1")),
                                      entry(QStringLiteral("UID-2"), QStringLiteral("native-2")),
                                      entry(QStringLiteral("uid-3"), QStringLiteral("native-2"))};
    LogCapture log(LOG_LEVEL_VERBOSE);

    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("uid-1")), QStringLiteral("native-1"));
    EXPECT_EQ(graph.harrowmereUidForNativeId(QStringLiteral("native-1")), QStringLiteral("uid-1"));
    // Lookups are case-sensitive.
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("uid-2")).has_value());
    EXPECT_TRUE(graph.nativeIdForHarrowmereUid(QStringLiteral("uid-2")).isNull());
    EXPECT_FALSE(graph.dictionaryForNativeId(QStringLiteral("missing")).has_value());
    EXPECT_EQ(log.lines().size(), 0);

    const std::optional<QVariantMap> shared = graph.dictionaryForNativeId(QStringLiteral("native-2"));
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(hmUidOf(*shared), QStringLiteral("UID-2"));
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines.first(),
              QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications."));
}

TEST(HMIdentifierGraph, ReplacesEntriesIgnoringCaseAndDiacritics)
{
    HMIdentifierGraph graph;
    graph.identifierDictionaries() = {entry(QStringLiteral("ABC-1"), QStringLiteral("n1")),
                                      entry(QStringLiteral("other"), QStringLiteral("n2")),
                                      entry(QStringLiteral("Caf\u00e9-9"), QStringLiteral("n3"))};
    LogCapture log(LOG_LEVEL_VERBOSE);

    // An identifier that differs only in case replaces the stored entry; the new one goes last.
    graph.setDictionary(entry(QStringLiteral("abc-1"), QStringLiteral("n1-new")), QStringLiteral("abc-1"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_EQ(hmUidOf(graph.identifierDictionaries().last()), QStringLiteral("abc-1"));
    // Exact lookups find the new entry by its own spelling only.
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("abc-1")), QStringLiteral("n1-new"));
    EXPECT_TRUE(graph.nativeIdForHarrowmereUid(QStringLiteral("ABC-1")).isNull());

    // Diacritics do not count either, and the dictionary is appended whatever its own "hmUid" holds.
    graph.setDictionary(entry(QStringLiteral("elsewhere"), QStringLiteral("n3-new")), QStringLiteral("CAFE-9"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("elsewhere")), QStringLiteral("n3-new"));
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("Caf\u00e9-9")).has_value());

    // Nothing to replace: a warning, and the entry is added.
    graph.setDictionary(entry(QStringLiteral("fresh"), QStringLiteral("n4")), QStringLiteral("fresh"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 4);
    EXPECT_TRUE(logContains(log, QStringLiteral("No identifier found for Uid 'fresh'")));

    // nullopt removes and adds nothing.
    graph.setDictionary(std::nullopt, QStringLiteral("OTHER"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_FALSE(graph.dictionaryForNativeId(QStringLiteral("n2")).has_value());
}

TEST(HMIdentifierGraph, RemovesEveryLooseMatch)
{
    HMIdentifierGraph graph;
    graph.identifierDictionaries() = {
        entry(QStringLiteral("dup"), QStringLiteral("a")), entry(QStringLiteral("DUP"), QStringLiteral("b")),
        entry(QStringLiteral("d\u00fcp"), QStringLiteral("c")), entry(QStringLiteral("keep"), QStringLiteral("d"))};
    LogCapture log(LOG_LEVEL_VERBOSE);
    graph.setDictionary(entry(QStringLiteral("Dup"), QStringLiteral("e")), QStringLiteral("Dup"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 2);
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().at(0)), QStringLiteral("d"));
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().at(1)), QStringLiteral("e"));
    EXPECT_TRUE(
        logContains(log, QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one.")));

    graph.removeDictionaryForHarrowmereUid(QStringLiteral("D\u00dcP"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 1);
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().first()), QStringLiteral("d"));
    graph.removeDictionaryForHarrowmereUid(QStringLiteral("gone"));
    EXPECT_TRUE(logContains(log, QStringLiteral("No identifier found for Uid 'gone'")));
    EXPECT_EQ(graph.identifierDictionaries().size(), 1);
}

TEST(HMIdentifierGraph, LogsEveryEntry)
{
    HMIdentifierGraph graph;
    graph.identifierDictionaries() = {
        entry(QStringLiteral("u1"), QStringLiteral("n1"), {{QStringLiteral("crcValue"), 42}})};
    {
        LogCapture log(LOG_LEVEL_INFO);
        graph.logGraph();
        EXPECT_EQ(log.lines(), QStringList({QStringLiteral("-------- Logging Identifier Graph --------"),
                                            QStringLiteral("Native ID: n1 \t UID: u1"),
                                            QStringLiteral("--------   End Identifier Graph   --------")}));
    }
    LogCapture log(LOG_LEVEL_VERBOSE);
    graph.logGraph();
    EXPECT_TRUE(logContains(log, QStringLiteral("'crcValue' => '42'")));
    EXPECT_TRUE(logContains(log, QStringLiteral("'hmUid' => 'u1'")));
}
