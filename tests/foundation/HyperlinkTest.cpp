#include "foundation/NSAttributedString+Hyperlink.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

TEST(Hyperlink, TitlesAreBlueUnderlinedCentredAndLinkedWhenAsked)
{
    const AttributedString title = attributedStringFormattedAsHyperLinkWithString(QStringLiteral("Get help"));
    EXPECT_EQ(title.string, QStringLiteral("Get help"));
    EXPECT_EQ(title.foregroundColor, 0x0000FFu);
    EXPECT_EQ(title.underline, AttributedString::Underline::Single);
    EXPECT_EQ(title.alignment, AttributedString::Alignment::Center);
    EXPECT_TRUE(title.link.isEmpty());

    const AttributedString link =
        hyperlinkFromString(QStringLiteral("Q & A <now>"), QUrl(QStringLiteral("https://example.com/a b?x=1")));
    EXPECT_EQ(link.link, QStringLiteral("https://example.com/a%20b?x=1"));
    EXPECT_EQ(link.toHtml(), QStringLiteral("<p align=\"center\"><a href=\"https://example.com/a%20b?x=1\" "
                                            "style=\"color:#0000ff;text-decoration:underline;\">"
                                            "Q &amp; A &lt;now&gt;</a></p>"));
}
