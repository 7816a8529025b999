#include "foundation/NSAttributedString+Hyperlink.h"

namespace {

constexpr quint32 kPureBlue = 0x0000FF;

} // namespace

AttributedString attributedStringFormattedAsHyperLinkWithString(const QString &text)
{
    AttributedString title;
    title.string = text;
    title.foregroundColor = kPureBlue;
    title.underline = AttributedString::Underline::Single;
    title.alignment = AttributedString::Alignment::Center;
    return title;
}

AttributedString hyperlinkFromString(const QString &text, const QUrl &url)
{
    AttributedString title = attributedStringFormattedAsHyperLinkWithString(text);
    title.link = url.toString(QUrl::FullyEncoded);
    return title;
}
