#include "foundation/NSString+stripHtml.h"

#include "QtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(StripHtml, GivesTheCharacterDataOfMarkup)
{
    struct Row
    {
        const char *name;
        const char *markup;
        const char *text;
    };
    const Row rows[] = {
        {"bold word and a second word", "<b>Hello</b> world", "Hello world"},
        {"plain text", "just text", "just text"},
        {"white space between tags stays", "<p>a</p>\n<p>b</p>", "a\nb"},
        {"entity references come out literally", "1 &lt; 2 &amp; &#65;", "1 &lt; 2 &amp; &#65;"},
        {"a bare ampersand", "fish & chips", "fish & chips"},
        {"comments and CDATA give nothing", "a<!-- note -->b<![CDATA[c]]>d", "abd"},
        {"a lone < ends the text", "before < after", "before "},
        {"an unclosed tag ends the text where it shows", "line<br>next</p>after", "linenext"},
        {"attributes give nothing", "<a href=\"x\" title='y'>link</a>", "link"},
        {"prefixed tags", "<o:p>word</o:p>", "word"},
        {"non-ASCII text", "<i>caf\xc3\xa9 \xe2\x82\xac</i>", "caf\xc3\xa9 \xe2\x82\xac"},
        {"empty", "", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(stripHtml(QString::fromUtf8(row.markup)), QString::fromUtf8(row.text));
    }
}

// Markup that would make a naive parser work for long or load something finishes quickly with what
// was gathered.
TEST(StripHtml, HostileMarkupFinishesQuicklyAndLoadsNothing)
{
    QElapsedTimer timer;
    timer.start();

    const QString nested = QStringLiteral("top") + QStringLiteral("<a>x").repeated(300000);
    const QString fromNested = stripHtml(nested);
    EXPECT_TRUE(fromNested.startsWith(QStringLiteral("topxxx")));
    EXPECT_LE(fromNested.size(), 300) << "the parse stops at the nesting limit";

    const QString flat = QStringLiteral("<p>y</p>").repeated(150000);
    EXPECT_EQ(stripHtml(flat).size(), 150000);

    const QString unterminated = QStringLiteral("kept<!--") + QStringLiteral("x-").repeated(500000);
    EXPECT_EQ(stripHtml(unterminated), QStringLiteral("kept"));
    const QString longAttribute = QStringLiteral("kept<a b='") + QStringLiteral("<").repeated(1000000);
    EXPECT_EQ(stripHtml(longAttribute), QStringLiteral("kept"));

    const QString bomb = QStringLiteral(
        "<!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
        "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">]><lolz>&lol4;</lolz>");
    EXPECT_LE(stripHtml(bomb).size(), bomb.size());

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile secret(dir.filePath(QStringLiteral("secret.txt")));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("SECRET-MARKER");
    secret.close();
    const QString external = QStringLiteral("<!DOCTYPE r [<!ENTITY x SYSTEM \"file://%1\">]><r>&x;</r>")
                                 .arg(secret.fileName());
    EXPECT_FALSE(stripHtml(external).contains(QStringLiteral("SECRET-MARKER")));
    const QString inline_ = QStringLiteral("<r xmlns:xi=\"http://www.w3.org/2001/XInclude\">"
                                           "<xi:include href=\"file://%1\" parse=\"text\"/></r>")
                                .arg(secret.fileName());
    EXPECT_FALSE(stripHtml(inline_).contains(QStringLiteral("SECRET-MARKER")));

    EXPECT_LT(timer.elapsed(), 5000) << "hostile markup took " << timer.elapsed() << " ms";
}

TEST(StripHtml, RunsOnManyThreadsAtOnce)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&wrong, thread] {
            const QString markup = QStringLiteral("<b>thread %1</b> & <i>more</i>").arg(thread);
            const QString expected = QStringLiteral("thread %1 & more").arg(thread);
            for (int round = 0; round < 200; ++round) {
                if (stripHtml(markup) != expected)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}
