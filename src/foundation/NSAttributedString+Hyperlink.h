#pragma once

#include "foundation/AttributedString.h"

#include <QString>
#include <QUrl>

// Link-styled titles for the link button. Stateless; any thread may call them.

// The text in pure blue, singly underlined, centred.
AttributedString attributedStringFormattedAsHyperLinkWithString(const QString &text);

// The same styling, linked to the URL's absolute text.
AttributedString hyperlinkFromString(const QString &text, const QUrl &url);
