#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// A text with one set of display attributes over its whole range: what the link button shows as its
// title. A plain value; any thread may make and copy it, the interface thread renders it.
struct AttributedString
{
    enum class Underline { None, Single };
    enum class Alignment { Natural, Left, Center, Right };

    QString string;
    std::optional<quint32> foregroundColor; // 0xRRGGBB; none keeps the widget's own colour
    Underline underline = Underline::None;
    Alignment alignment = Alignment::Natural;
    QString link; // the absolute text of the URL the text points to; empty for none

    // The text as the rich text of a Qt label or button, the attributes as markup and style.
    QString toHtml() const;

    friend bool operator==(const AttributedString &, const AttributedString &) = default;
};
