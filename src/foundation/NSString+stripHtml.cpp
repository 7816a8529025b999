#include "foundation/NSString+stripHtml.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSString_stripHtml_XMLParsee.h"
#include "platform/foundation/Identifiers.h"
#include "platform/foundation/XmlChunk.h"
#include "platform/foundation/Scanner.h"

#include <QStringList>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <optional>

namespace {

constexpr QChar kEncodedAmpersand(0x0007);
constexpr QChar kEncodedTab(0x0006);

// Markup nested deeper than this is not a note a person wrote; the parse stops there, as it does at a
// markup error.
constexpr int kMaxMarkupDepth = 256;

// The parser is fed in pieces so that a stop requested by a callback takes effect without first reading
// the rest of a large input.
constexpr qsizetype kMarkupChunkBytes = 64 * 1024;

// Puts the scanner after the line holding the first "List=" marker, or at the start when there is no
// marker or nothing follows its line.
void skipListMarkerLine(platform::Scanner &scanner)
{
    const QString &text = scanner.string();
    const qsizetype marker = text.indexOf(QLatin1String("List="), 0, Qt::CaseInsensitive);
    if (marker < 0)
        return;
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), marker);
    scanner.setScanLocation(lineEnd < 0 ? text.size() : lineEnd + 1);
    if (scanner.isAtEnd())
        scanner.setScanLocation(0);
}

struct MarkupParse
{
    NSString_stripHtml_XMLParsee collector;
    xmlParserCtxtPtr context = nullptr;
    int depth = 0;
};

void collectCharacters(void *parse, const xmlChar *characters, int length)
{
    static_cast<MarkupParse *>(parse)->collector.foundCharacters(
        QString::fromUtf8(reinterpret_cast<const char *>(characters), length));
}

// CDATA sections are markup, not character data.
void ignoreCdata(void *, const xmlChar *, int)
{
}

void enterElement(void *parse, const xmlChar *, const xmlChar *, const xmlChar *, int, const xmlChar **, int, int,
                  const xmlChar **)
{
    auto *markup = static_cast<MarkupParse *>(parse);
    if (++markup->depth > kMaxMarkupDepth)
        xmlStopParser(markup->context);
}

void leaveElement(void *parse, const xmlChar *, const xmlChar *, const xmlChar *)
{
    --static_cast<MarkupParse *>(parse)->depth;
}

// Only the five predefined entities exist; nothing is ever declared, resolved or loaded.
xmlEntityPtr predefinedEntityOnly(void *, const xmlChar *name)
{
    return xmlGetPredefinedEntity(name);
}

xmlParserInputPtr refuseExternalEntity(void *, const xmlChar *, const xmlChar *)
{
    return nullptr;
}

// A fatal markup error ends the parse; what was gathered before it is the result.
void stopAtFatalError(void *parse, xmlErrorPtr error)
{
    if (error != nullptr && error->level == XML_ERR_FATAL)
        xmlStopParser(static_cast<MarkupParse *>(parse)->context);
}

xmlSAXHandler characterDataHandler()
{
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.characters = collectCharacters;
    handler.ignorableWhitespace = collectCharacters;
    handler.cdataBlock = ignoreCdata;
    handler.startElementNs = enterElement;
    handler.endElementNs = leaveElement;
    handler.getEntity = predefinedEntityOnly;
    handler.getParameterEntity = predefinedEntityOnly;
    handler.resolveEntity = refuseExternalEntity;
    handler.serror = stopAtFatalError;
    return handler;
}

} // namespace

QString hmWiFiEncodedString(const QString &text)
{
    QString encoded = text;
    encoded.replace(QLatin1Char('&'), kEncodedAmpersand);
    encoded.replace(QLatin1Char('\t'), kEncodedTab);
    encoded.replace(QLatin1String("\r\n"), QLatin1String("\r"));
    encoded.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    return encoded;
}

QString hmWiFiDecodedString(const QString &text)
{
    // Most values hold none of the encoded characters: they come back as they are, unscanned again.
    const auto isEncoded = [](QChar c) { return c == kEncodedAmpersand || c == kEncodedTab || c == u'\r'; };
    if (std::none_of(text.cbegin(), text.cend(), isEncoded))
        return text;
    QString decoded = text;
    decoded.replace(kEncodedAmpersand, QLatin1Char('&'));
    decoded.replace(kEncodedTab, QLatin1Char('\t'));
    decoded.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return decoded;
}

QList<QVariantMap> dictionaryListFromDelimittedList(const QString &text)
{
    QList<QVariantMap> rows;
    // White space and line ends are skipped before every read; a line runs up to the next LF, so a CR
    // before it stays at the end of the line's last item.
    platform::Scanner scanner(text);
    skipListMarkerLine(scanner);
    if (scanner.scanLocation() < text.size())
        DDLogInfo(QStringLiteral("scanner at '%1'").arg(text.at(scanner.scanLocation())));

    const QString lineEnd = QStringLiteral("\n");
    const QString headerLine = scanner.scanUpToString(lineEnd).value_or(QString());
    const QStringList columns = headerLine.split(QLatin1Char('\t'));
    // Every pass reads at least one character that is not skipped, so the loop ends within the text.
    while (!scanner.isAtEnd()) {
        const std::optional<QString> line = scanner.scanUpToString(lineEnd);
        if (!line)
            break;
        const QString &valueLine = *line;
        const QStringList values = valueLine.split(QLatin1Char('\t'));
        if (values.size() < 2)
            break;
        if (values.size() != columns.size()) {
            DDLogError(QStringLiteral("ERROR: Headers item count (%1) differs from value item count (%2).")
                           .arg(columns.size())
                           .arg(values.size()));
            DDLogInfo(QStringLiteral("Header: '%1'").arg(headerLine));
            DDLogInfo(QStringLiteral("Values: '%1'").arg(valueLine));
            break;
        }
        QVariantMap row;
        for (qsizetype column = 0; column < columns.size(); ++column)
            row.insert(columns.at(column), values.at(column));
        rows.append(row);
    }
    return rows;
}

QString stripHtml(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    const QByteArray markup = QStringLiteral("<root>%1</root>").arg(escaped).toUtf8();

    xmlSAXHandler handler = characterDataHandler();
    MarkupParse parse;
    parse.context =
        platform::createXmlPushParser(handler, &parse, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (parse.context == nullptr)
        return QString();

    for (qsizetype offset = 0; offset < markup.size() && parse.context->instate != XML_PARSER_EOF;
         offset += kMarkupChunkBytes) {
        const qsizetype length = std::min(kMarkupChunkBytes, markup.size() - offset);
        const bool isLast = offset + length >= markup.size();
        platform::parseXmlChunk(parse.context, markup.constData() + offset, static_cast<int>(length), isLast);
    }
    xmlFreeParserCtxt(parse.context);
    return parse.collector.getCharsFound();
}

QString md5(const QString &text)
{
    if (text.isNull())
        return QString();
    QByteArray bytes = text.toUtf8();
    const qsizetype firstZero = bytes.indexOf('\0');
    if (firstZero >= 0)
        bytes.truncate(firstZero);
    const platform::Result<QString> digest = platform::md5Text(bytes);
    return digest ? *digest : QString();
}

QString uidString()
{
    return platform::newUuidText().toLower();
}
