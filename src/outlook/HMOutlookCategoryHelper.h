#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <optional>

namespace platform {
class NSAppleEventDescriptor;
}

// The 25 colours an incoming colour index selects, as 8-bit red, green and blue.
struct HMOutlookCategoryPalette
{
    static const std::array<std::array<int, 3>, 25> &colors();
};

// Outlook's categories as the other side carries them: names to ids and back, Outlook's colours
// as six upper-case hex digits (red-green-blue for the phone methods, blue-green-red otherwise),
// the other side's colour values as Outlook colours, and the creation of missing categories.
// Names always travel into scripts escaped. One data source's thread at a time; every Outlook
// call blocks until it answers.
class HMOutlookCategoryHelper final
{
public:
    struct Category
    {
        QString id;
        QString color; // "r, g, b" in 16-bit components, as Outlook gives them
    };

    // Reads "SyncMethodSetting" and Outlook's categories.
    HMOutlookCategoryHelper();

    HMOutlookCategoryHelper &customInit();
    void reinitialize() { customInit(); }
    void reloadCategoriesDictionary();

    bool isWiFiSync() const { return m_isWiFiSync; }
    const QMap<QString, Category> &categoriesDictionary() const { return m_categories; }

    QString categoryIdForCategoryName(const QString &name) const;
    QString categoryColorHexStringForCategoryName(const QString &name) const;
    // The record's NSARRAYCATEGORYCOLORS, each category's colour as the helper gives it, and
    // NSARRAYCATEGORYCOLORINDEXES, "-1" (a colour given as text) for each; written only when every
    // category has a colour. With no helper no category has one.
    static void insertColorsOfCategories(QVariantMap &record, const QStringList &names,
                                         const HMOutlookCategoryHelper *helper);
    static QString hexStringForCategoryColorDecimalString(const QString &decimal);
    static QString bgrStringFromRgbString(const QString &rgb);
    // The script colour "{r, g, b}" for a colour value; a null text for a negative index.
    static QString RGBStringForCategoryIndex(const QString &value);
    // A record's COLORINDEX as colour values (commas read as TABs), with CATEGORYCOLOR's colours
    // for its "-1" entries ("-1:colour"); a null text where it holds no index.
    static QString colorValuesFromColorIndex(const QVariantMap &record);

    bool makeNewCategoryWithName(const QString &name, const QString &colorValue);
    QStringList arrayOfCommandsForCategoryString(const QString &names, const QString &colorValues);
    QString categoryNameForCategoryId(const QString &id);
    QString categoryNameStringFromIdArray(const QStringList &ids);
    // The categories' ids of a record's reply ('cCtg': items whose 'seld' is the id).
    static QStringList categoryIdsOfReply(const platform::NSAppleEventDescriptor &reply);

private:
    // Outlook's categories as (name, category) in Outlook's order; nullopt when the script failed.
    static std::optional<QList<std::pair<QString, Category>>> readCategories();

    bool m_isWiFiSync = false;
    QMap<QString, Category> m_categories;
    std::optional<QMap<QString, QString>> m_namesById;
};

// The smaller colour helper: hex digits without leading zeros, and no palette.
class HMOutlookCategoryColorHelper final
{
public:
    static QString hexStringForCategoryColorDecimalString(const QString &decimal);
    static std::optional<QString> getColorForIndex(qint64 index);
};
