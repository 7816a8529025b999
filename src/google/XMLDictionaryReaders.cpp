// The readers and the writer of a dictionary in the XML dictionary form.
#include "google/XMLDictionaryParser.h"

#include <QStringList>

namespace xmldictionary {

namespace {

bool isSpecialKey(const QString &key)
{
    return key == QLatin1String("__name") || key == QLatin1String("__text") || key == QLatin1String("__comments");
}

} // namespace

std::optional<QVariantMap> dictionaryWithXMLData(const QByteArray &data)
{
    XMLDictionaryParser parser = XMLDictionaryParser::sharedInstance();
    return parser.dictionaryWithData(data);
}

std::optional<QVariantMap> dictionaryWithXMLString(const QString &text)
{
    XMLDictionaryParser parser = XMLDictionaryParser::sharedInstance();
    return parser.dictionaryWithString(text);
}

std::optional<QVariantMap> dictionaryWithXMLFile(const QString &path)
{
    XMLDictionaryParser parser = XMLDictionaryParser::sharedInstance();
    return parser.dictionaryWithFile(path);
}

std::optional<QVariantMap> attributes(const QVariantMap &node)
{
    if (node.contains(QStringLiteral("__attributes"))) {
        const QVariantMap all = node.value(QStringLiteral("__attributes")).toMap();
        return all.isEmpty() ? std::nullopt : std::optional<QVariantMap>(all);
    }
    QVariantMap found;
    for (auto it = node.cbegin(); it != node.cend(); ++it) {
        if (it.key().startsWith(QLatin1Char('_')) && !isSpecialKey(it.key()))
            found.insert(it.key().mid(1), it.value());
    }
    return found.isEmpty() ? std::nullopt : std::optional<QVariantMap>(found);
}

std::optional<QVariantMap> childNodes(const QVariantMap &node)
{
    QVariantMap found;
    for (auto it = node.cbegin(); it != node.cend(); ++it) {
        if (!it.key().startsWith(QLatin1Char('_')))
            found.insert(it.key(), it.value());
    }
    return found.isEmpty() ? std::nullopt : std::optional<QVariantMap>(found);
}

QVariantList comments(const QVariantMap &node)
{
    return node.value(QStringLiteral("__comments")).toList();
}

QString nodeName(const QVariantMap &node)
{
    return node.value(QStringLiteral("__name")).toString();
}

QString innerText(const QVariantMap &node)
{
    const QVariant text = node.value(QStringLiteral("__text"));
    if (text.typeId() == QMetaType::QVariantList)
        return text.toStringList().join(QLatin1Char('\n'));
    return text.isValid() ? text.toString() : QString();
}

QString innerXML(const QVariantMap &node)
{
    QStringList nodes;
    for (const QVariant &comment : comments(node))
        nodes << QStringLiteral("<!--%1-->").arg(XMLEncodedString(comment.toString()));
    if (const std::optional<QVariantMap> children = childNodes(node)) {
        for (auto it = children->cbegin(); it != children->cend(); ++it)
            nodes << XMLDictionaryParser::XMLStringForNode(it.value(), it.key());
    }
    if (const QString text = innerText(node); !text.isNull())
        nodes << XMLEncodedString(text);
    return nodes.join(QLatin1Char('\n'));
}

QString XMLString(const QVariantMap &node)
{
    if (node.size() == 1 && !node.contains(QStringLiteral("__name")))
        return innerXML(node);
    const QString name = nodeName(node);
    return XMLDictionaryParser::XMLStringForNode(node, name.isEmpty() ? QStringLiteral("root") : name);
}

QVariant valueForKeyPath(const QVariantMap &node, const QString &keyPath)
{
    QVariant value = node;
    for (const QString &key : keyPath.split(QLatin1Char('.'))) {
        if (value.typeId() != QMetaType::QVariantMap)
            return {};
        value = value.toMap().value(key);
    }
    return value;
}

std::optional<QVariantList> arrayValueForKeyPath(const QVariantMap &node, const QString &keyPath)
{
    const QVariant value = valueForKeyPath(node, keyPath);
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() == QMetaType::QVariantList)
        return value.toList();
    return QVariantList{value};
}

QString stringValueForKeyPath(const QVariantMap &node, const QString &keyPath)
{
    QVariant value = valueForKeyPath(node, keyPath);
    if (value.typeId() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        value = list.isEmpty() ? QVariant() : list.first();
    }
    if (value.typeId() == QMetaType::QVariantMap)
        return innerText(value.toMap());
    return value.isValid() ? value.toString() : QString();
}

std::optional<QVariantMap> dictionaryValueForKeyPath(const QVariantMap &node, const QString &keyPath)
{
    QVariant value = valueForKeyPath(node, keyPath);
    if (value.typeId() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        value = list.isEmpty() ? QVariant() : list.first();
    }
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap();
    if (value.typeId() == QMetaType::QString)
        return QVariantMap{{QStringLiteral("__text"), value}};
    return std::nullopt;
}

QString XMLEncodedString(const QString &text)
{
    QString encoded = text;
    encoded.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    encoded.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    encoded.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    encoded.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    encoded.replace(QLatin1Char('\''), QLatin1String("&apos;"));
    return encoded;
}

} // namespace xmldictionary
