#include "outlook/HMOutlookCategoryHelper.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/UserDefaults.h"

using platform::NSAppleEventDescriptor;

namespace {

// The leading run of hex digits of a text (0 when none).
qint64 leadingHex(const QString &text)
{
    qint64 value = 0;
    for (const QChar c : text) {
        const int digit = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
        if (digit < 0 || value > (qint64(1) << 40))
            break;
        value = value * 16 + digit;
    }
    return value;
}

// The leading integer of a text, sign included (0 when none).
qint64 leadingInteger(const QString &text)
{
    qsizetype end = 0;
    if (end < text.size() && (text[end] == u'-' || text[end] == u'+'))
        ++end;
    while (end < text.size() && text[end].isDigit() && end < 18)
        ++end;
    return text.left(end).toLongLong();
}

qint64 sixteenBit(const QString &hexPart)
{
    return qint64(float(leadingHex(hexPart)) / 255.0f * 65535.0f);
}

QString hexBytes(const QString &decimal, const char *format)
{
    const QStringList parts = decimal.split(QStringLiteral(", "));
    if (parts.size() != 3)
        return QStringLiteral("000000");
    int bytes[3];
    for (int i = 0; i < 3; ++i)
        bytes[i] = int(parts[i].toLongLong() * 0.00390625);
    return QString::asprintf(format, bytes[0], bytes[1], bytes[2]).toUpper();
}

} // namespace

const std::array<std::array<int, 3>, 25> &HMOutlookCategoryPalette::colors()
{
    static const std::array<std::array<int, 3>, 25> palette = {{
        {236, 147, 150}, {246, 178, 128}, {255, 218, 125}, {255, 250, 135}, {166, 221, 158},
        {156, 221, 200}, {194, 207, 165}, {151, 179, 221}, {176, 156, 221}, {214, 170, 191},
        {214, 217, 228}, {95, 109, 138},  {188, 188, 188}, {101, 101, 101}, {49, 49, 49},
        {192, 32, 42},   {203, 91, 16},   {193, 146, 34},  {181, 176, 0},   {61, 147, 51},
        {53, 150, 119},  {114, 131, 71},  {46, 90, 161},   {92, 62, 161},   {147, 67, 108},
    }};
    return palette;
}

HMOutlookCategoryHelper::HMOutlookCategoryHelper()
{
    customInit();
}

HMOutlookCategoryHelper &HMOutlookCategoryHelper::customInit()
{
    const QString method = platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting"));
    m_isWiFiSync = method == u"wifi" || method == u"adb";
    reloadCategoriesDictionary();
    return *this;
}

std::optional<QList<std::pair<QString, HMOutlookCategoryHelper::Category>>> HMOutlookCategoryHelper::readCategories()
{
    const QString app = HMOutlookSQLiteHelper::outlookApplicationReference();
    std::optional<platform::NSAppleScriptError> error;
    const NSAppleEventDescriptor result =
        platform::NSAppleScript(QStringLiteral("tell application \"%1\"\nset theCategories to the properties of every "
                                               "category of application \"%1\"\nreturn theCategories\nend tell")
                                    .arg(app))
            .executeAndReturnError(&error);
    if (error)
        return std::nullopt;
    QList<std::pair<QString, Category>> categories;
    for (qint64 i = 1; i <= result.numberOfItems(); ++i) {
        const NSAppleEventDescriptor item = result.descriptorAtIndex(i);
        const QString name = item.descriptorForKeyword(platform::Keyword::Name).stringValue();
        const QString id = item.descriptorForKeyword(platform::Keyword::ID).stringValue();
        const NSAppleEventDescriptor colorList = item.descriptorForKeyword(platform::fourCharCode("colr"));
        QStringList components;
        for (qint64 c = 1; c <= colorList.numberOfItems(); ++c)
            components.append(colorList.descriptorAtIndex(c).stringValue());
        if (!name.isNull() && !id.isNull())
            categories.append({name, Category{id, components.join(QStringLiteral(", "))}});
    }
    return categories;
}

void HMOutlookCategoryHelper::reloadCategoriesDictionary()
{
    // A later category of the same name replaces an earlier one.
    m_categories.clear();
    for (const auto &[name, category] : readCategories().value_or(QList<std::pair<QString, Category>>()))
        m_categories.insert(name, category);
}

QString HMOutlookCategoryHelper::categoryIdForCategoryName(const QString &name) const
{
    return m_categories.value(name).id;
}

QString HMOutlookCategoryHelper::categoryColorHexStringForCategoryName(const QString &name) const
{
    const QString rgb = hexStringForCategoryColorDecimalString(m_categories.value(name).color);
    return m_isWiFiSync ? rgb : bgrStringFromRgbString(rgb);
}

void HMOutlookCategoryHelper::insertColorsOfCategories(QVariantMap &record, const QStringList &names,
                                                       const HMOutlookCategoryHelper *helper)
{
    QStringList colors;
    QStringList indexes;
    for (const QString &name : names) {
        const QString color = helper ? helper->categoryColorHexStringForCategoryName(name) : QString();
        if (!color.isEmpty()) {
            colors.append(color);
            indexes.append(QStringLiteral("-1"));
        }
    }
    if (colors.size() == names.size()) {
        record.insert(QStringLiteral("NSARRAYCATEGORYCOLORS"), colors);
        record.insert(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"), indexes);
    }
}

QString HMOutlookCategoryHelper::hexStringForCategoryColorDecimalString(const QString &decimal)
{
    return hexBytes(decimal, "%02x%02x%02x");
}

QString HMOutlookCategoryHelper::bgrStringFromRgbString(const QString &rgb)
{
    if (rgb.size() != 6)
        return rgb;
    return rgb.mid(4, 2) + rgb.mid(2, 2) + rgb.left(2);
}

QString HMOutlookCategoryHelper::RGBStringForCategoryIndex(const QString &value)
{
    const QString prefix = QStringLiteral("-1:");
    if (value.startsWith(prefix) && value.size() > prefix.size() + 4) {
        const QString rest = value.mid(prefix.size());
        return QStringLiteral("{%1, %2, %3}")
            .arg(sixteenBit(rest.right(2)))
            .arg(sixteenBit(rest.mid(rest.size() - 4, 2)))
            .arg(sixteenBit(rest.left(rest.size() - 4)));
    }
    const qint64 index = leadingInteger(value);
    if (index < 0)
        return QString(); // no palette row: the category is made without a colour
    const std::array<int, 3> &row = HMOutlookCategoryPalette::colors()[size_t(index % 25)];
    return QStringLiteral("{%1, %2, %3}").arg(row[0] * 257).arg(row[1] * 257).arg(row[2] * 257);
}

bool HMOutlookCategoryHelper::makeNewCategoryWithName(const QString &name, const QString &colorValue)
{
    DDLogInfo(QStringLiteral("Creating new cateogry with name: %1, and color string: %2").arg(name, colorValue));
    const QString app = HMOutlookSQLiteHelper::outlookApplicationReference();
    const QString color = colorValue.isNull() ? QString() : RGBStringForCategoryIndex(colorValue);
    const QString source =
        color.isNull()
            ? QStringLiteral("tell application \"%1\" to make new category with properties {name:\"%2\"}").arg(app, escapedString(name))
            : QStringLiteral("tell application \"%1\" to make new category with properties {name:\"%2\", color:%3}")
                  .arg(app, escapedString(name), color);
    std::optional<platform::NSAppleScriptError> error;
    platform::NSAppleScript(source).executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("Cannot create category %1. Error: %2").arg(name, error->message));
        return false;
    }
    return true;
}

QStringList HMOutlookCategoryHelper::arrayOfCommandsForCategoryString(const QString &names, const QString &colorValues)
{
    DDLogInfo(QStringLiteral("arrayOfCommandsForCategoryString: %1, andIndexString: %2").arg(names, colorValues));
    if (names.isNull())
        return {};
    QString nameText = names;
    nameText.replace(u',', u'\t');
    if (nameText.endsWith(u'\t'))
        nameText.chop(1);
    QString valueText = colorValues;
    if (valueText.endsWith(u'\t'))
        valueText.chop(1);
    const QStringList values = valueText.isNull() ? QStringList() : valueText.split(u'\t');
    const QStringList nameList = nameText.split(u'\t');
    const QString app = HMOutlookSQLiteHelper::outlookApplicationReference();
    QStringList fragments;
    for (qsizetype i = 0; i < nameList.size(); ++i) {
        QString id = categoryIdForCategoryName(nameList[i]);
        if (id.isEmpty()) {
            makeNewCategoryWithName(nameList[i], i < values.size() ? values[i] : QString());
            reloadCategoriesDictionary();
            id = categoryIdForCategoryName(nameList[i]);
        }
        if (id.isEmpty())
            continue;
        if (!HMOutlookSQLiteHelper::isDecimalId(id)) {
            DDLogInfo(QStringLiteral("Not an Outlook category id, nothing sent: %1").arg(id));
            continue;
        }
        fragments.append(QStringLiteral("category id %1 of application \"%2\", ").arg(id, app));
    }
    return fragments;
}

QString HMOutlookCategoryHelper::categoryNameForCategoryId(const QString &id)
{
    if (!m_namesById) {
        m_namesById.emplace();
        for (const auto &[name, category] : readCategories().value_or(QList<std::pair<QString, Category>>()))
            m_namesById->insert(category.id, name);
    }
    const auto found = m_namesById->constFind(id);
    if (found == m_namesById->constEnd()) {
        DDLogInfo(QStringLiteral("No properties found"));
        return QString();
    }
    DDLogInfo(QStringLiteral("Returning category name %1").arg(found.value()));
    return found.value();
}

QString HMOutlookCategoryHelper::categoryNameStringFromIdArray(const QStringList &ids)
{
    QStringList names;
    for (const QString &id : ids) {
        const QString name = categoryNameForCategoryId(id);
        if (!name.isEmpty())
            names.append(name);
    }
    return names.join(u'\t');
}

QString HMOutlookCategoryColorHelper::hexStringForCategoryColorDecimalString(const QString &decimal)
{
    return hexBytes(decimal, "%x%x%x");
}

std::optional<QString> HMOutlookCategoryColorHelper::getColorForIndex(qint64)
{
    return std::nullopt;
}

QString HMOutlookCategoryHelper::colorValuesFromColorIndex(const QVariantMap &record)
{
    const QVariant index = record.value(QStringLiteral("COLORINDEX"));
    if (index.typeId() != QMetaType::QString)
        return QString();
    QString text = index.toString().replace(u',', u'\t');
    if (QString(text).remove(u'\t').isEmpty())
        return QString();
    const QVariant colors = record.value(QStringLiteral("CATEGORYCOLOR"));
    if (!text.contains(QLatin1String("-1")) || colors.typeId() != QMetaType::QString)
        return text;
    const QStringList colorList = colors.toString().split(u',');
    const QStringList indexes = text.split(u'\t');
    if (colorList.size() != indexes.size())
        return text;
    QStringList values;
    for (qsizetype i = 0; i < indexes.size(); ++i)
        values.append(indexes.at(i).startsWith(QLatin1String("-1")) ? QStringLiteral("-1:") + colorList.at(i)
                                                                    : indexes.at(i));
    return values.join(u'\t');
}

QStringList HMOutlookCategoryHelper::categoryIdsOfReply(const platform::NSAppleEventDescriptor &reply)
{
    const platform::NSAppleEventDescriptor list = reply.descriptorForKeyword(platform::fourCharCode("cCtg"));
    QStringList ids;
    for (qint64 i = 1; i <= list.numberOfItems(); ++i) {
        const QString id = list.descriptorAtIndex(i).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        if (!id.isEmpty())
            ids.append(id);
    }
    return ids;
}
