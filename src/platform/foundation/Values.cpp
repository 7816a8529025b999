#include "platform/foundation/Values.h"

#include "platform/foundation/Scanner.h"
#include "platform/foundation/TextClasses.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>
#include <limits>

namespace platform {

IntegerKind integerKindOfType(int typeId)
{
    switch (typeId) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return IntegerKind::Signed;
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return IntegerKind::Unsigned;
    default:
        return IntegerKind::None;
    }
}

namespace {

constexpr int kIndentWidth = 4;

bool isFloatingPoint(int typeId)
{
    return typeId == QMetaType::Double || typeId == QMetaType::Float;
}

qint64 clampedInteger(double number)
{
    // A cast of a value outside the range is undefined, so the limits are taken before casting.
    if (std::isnan(number))
        return 0;
    if (number >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (number < -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(number);
}

int clampedInt(qint64 number)
{
    return static_cast<int>(
        std::clamp<qint64>(number, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

QString numberDescription(const QVariant &value)
{
    const int typeId = value.typeId();
    if (typeId == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (integerKindOfType(typeId) == IntegerKind::Unsigned)
        return QString::number(value.toULongLong());
    if (integerKindOfType(typeId) == IntegerKind::Signed)
        return QString::number(value.toLongLong());
    const double number = value.toDouble();
    if (std::isnan(number))
        return QStringLiteral("nan");
    if (std::isinf(number))
        return number > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    // The shortest text that reads back as the same value, taken at the number's own precision so that
    // a float 0.1 prints as 0.1 and not as the double nearest to it.
    char text[64];
    const std::to_chars_result written = typeId == QMetaType::Float
        ? std::to_chars(std::begin(text), std::end(text), value.toFloat(), std::chars_format::general)
        : std::to_chars(std::begin(text), std::end(text), number, std::chars_format::general);
    return QString::fromLatin1(text, written.ptr - std::begin(text));
}

QString dataDescription(const QByteArray &bytes)
{
    QString text = QStringLiteral("<");
    const QByteArray hex = bytes.toHex();
    for (qsizetype index = 0; index < hex.size(); index += 8) {
        if (index > 0)
            text += u' ';
        text += QString::fromLatin1(hex.mid(index, 8));
    }
    return text + u'>';
}

bool isPlainWord(const QString &text)
{
    if (text.isEmpty())
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar character) {
        const char16_t unit = character.unicode();
        return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9');
    });
}

// Inside a list or dictionary a text is quoted unless it is a plain word; quotes, backslashes and line
// ends are escaped, and every other character outside printable ASCII is written as \Uxxxx.
QString quotedIfNeeded(const QString &text)
{
    if (isPlainWord(text))
        return text;
    QString quoted = QStringLiteral("\"");
    for (const QChar character : text) {
        const char16_t unit = character.unicode();
        switch (unit) {
        case u'"':
            quoted += QStringLiteral("\\\"");
            break;
        case u'\\':
            quoted += QStringLiteral("\\\\");
            break;
        case u'\n':
            quoted += QStringLiteral("\\n");
            break;
        case u'\r':
            quoted += QStringLiteral("\\r");
            break;
        case u'\t':
            quoted += QStringLiteral("\\t");
            break;
        default:
            if (unit >= 0x20 && unit < 0x7F)
                quoted += character;
            else
                quoted += QStringLiteral("\\U%1").arg(unsigned(unit), 4, 16, QLatin1Char('0'));
        }
    }
    return quoted + u'"';
}

QString indentation(int level)
{
    return QString(level * kIndentWidth, u' ');
}

QString describe(const QVariant &value, int level);

// A nested list or dictionary starts with its own indentation even after "key = ", which gives the
// platform's familiar "key =     (" layout.
QString describeElement(const QVariant &value, int level)
{
    if (isList(value) || isDictionary(value))
        return indentation(level) + describe(value, level);
    return quotedIfNeeded(describe(value, level));
}

QString listDescription(const QVariantList &list, int level)
{
    QString text = QStringLiteral("(\n");
    for (qsizetype index = 0; index < list.size(); ++index) {
        text += indentation(level + 1) + describeElement(list.at(index), level + 1);
        text += index + 1 < list.size() ? QStringLiteral(",\n") : QStringLiteral("\n");
    }
    return text + indentation(level) + u')';
}

QString dictionaryDescription(const QVariantMap &dictionary, int level)
{
    QString text = QStringLiteral("{\n");
    for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry) {
        text += indentation(level + 1) + quotedIfNeeded(entry.key()) + QStringLiteral(" = ") +
                describeElement(entry.value(), level + 1) + QStringLiteral(";\n");
    }
    return text + indentation(level) + u'}';
}

QString describe(const QVariant &value, int level)
{
    if (isNil(value))
        return QStringLiteral("(null)");
    if (isText(value))
        return value.toString();
    if (isNumber(value))
        return numberDescription(value);
    if (isDate(value)) {
        const QDateTime date = value.toDateTime();
        return date.isValid() ? date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"))
                              : QStringLiteral("(null)");
    }
    if (isData(value))
        return dataDescription(value.toByteArray());
    if (isList(value))
        return listDescription(value.toList(), level);
    if (isDictionary(value))
        return dictionaryDescription(value.toMap(), level);
    if (value.typeId() == QMetaType::Nullptr)
        return QStringLiteral("<null>");
    if (value.canConvert<QString>())
        return value.toString();
    return QStringLiteral("<%1>").arg(QString::fromLatin1(value.typeName()));
}

} // namespace

bool isNil(const QVariant &value)
{
    return !value.isValid();
}

bool isText(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

bool isNumber(const QVariant &value)
{
    const int typeId = value.typeId();
    return typeId == QMetaType::Bool || integerKindOfType(typeId) != IntegerKind::None || isFloatingPoint(typeId);
}

bool isBoolean(const QVariant &value)
{
    return value.typeId() == QMetaType::Bool;
}

bool isDate(const QVariant &value)
{
    return value.typeId() == QMetaType::QDateTime;
}

bool isList(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList;
}

bool isDictionary(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantMap;
}

bool isData(const QVariant &value)
{
    return value.typeId() == QMetaType::QByteArray;
}

qint64 integerValueOfText(const QString &text)
{
    return Scanner(text).scanInteger().value_or(0);
}

int intValueOfText(const QString &text)
{
    return clampedInt(integerValueOfText(text));
}

bool boolValueOfText(const QString &text)
{
    qsizetype position = indexAfterCharacters(text, 0, CharacterSet::whitespacesAndNewlines());
    if (position < text.size() && (text.at(position) == u'-' || text.at(position) == u'+'))
        ++position;
    while (position < text.size() && text.at(position) == u'0')
        ++position;
    if (position >= text.size())
        return false;
    const QChar character = text.at(position);
    return character == u'Y' || character == u'y' || character == u'T' || character == u't' ||
           (character >= u'1' && character <= u'9');
}

qint64 integerValue(const QVariant &value)
{
    if (isText(value))
        return integerValueOfText(value.toString());
    if (!isNumber(value))
        return 0;
    const int typeId = value.typeId();
    if (isFloatingPoint(typeId))
        return clampedInteger(value.toDouble());
    if (integerKindOfType(typeId) == IntegerKind::Unsigned) {
        const qulonglong number = value.toULongLong();
        return number > qulonglong(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                       : qint64(number);
    }
    return value.toLongLong();
}

int intValue(const QVariant &value)
{
    return clampedInt(integerValue(value));
}

bool boolValue(const QVariant &value)
{
    if (isText(value))
        return boolValueOfText(value.toString());
    if (!isNumber(value))
        return false;
    const int typeId = value.typeId();
    if (isFloatingPoint(typeId))
        return value.toDouble() != 0.0;
    return integerKindOfType(typeId) == IntegerKind::Unsigned ? value.toULongLong() != 0 : value.toLongLong() != 0;
}

QString description(const QVariant &value)
{
    return describe(value, 0);
}

} // namespace platform
