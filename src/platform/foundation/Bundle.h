#pragma once

#include <QString>
#include <QVariantMap>

namespace platform {

// The application bundle: its identity, versions, resources folder and localised strings.
// Thread-safe; every operation is a class operation.
class Bundle final
{
public:
    Bundle() = delete;

    // "com.harrowmere.Harrowmere": names the data folder and the user defaults.
    static QString bundleIdentifier();
    // "Harrowmere": the name shown to the user and the process name of the logs.
    static QString displayName();
    // The marketing version ("1.0.0") and the build number, both set by the build.
    static QString shortVersion();
    static QString buildVersion();
    // The bundle's information keys: "CFBundleIdentifier", "CFBundleName", "CFBundleShortVersionString"
    // and "CFBundleVersion".
    static QVariantMap infoDictionary();
    static QVariant objectForInfoDictionaryKey(const QString &key);

    // The folder of the shipped resources (strings tables, helper programs): $HM_RESOURCES_DIR when
    // set, else a "resources" folder beside the executable when there is one, else the source tree's
    // resources folder.
    static QString resourcePath();

    // The localised text of a key from the "Localizable" table of the best matching language folder
    // ("<language>.lproj", falling back to "en.lproj"). A missing key gives defaultValue, or the key
    // itself when defaultValue is empty. Tables are read once per path and kept.
    static QString localizedString(const QString &key, const QString &defaultValue = {});
    // The path of the table localizedString reads (which may not exist).
    static QString localizedStringsPath();
};

// The localised text of a key, or the key itself when the table has none.
inline QString localized(const QString &key)
{
    return Bundle::localizedString(key);
}

} // namespace platform
