#include "app/HMOutlookAccess.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/foundation/FileSystem.h"

#include <QDir>
#include <QFileInfo>

#include <array>

using platform::NSAppleEventDescriptor;

namespace {

const QString kScriptingCheck = QStringLiteral("set timeStr to time string of (current date)\nreturn timeStr");
const QString kApplicationBundle = QStringLiteral("Microsoft Outlook.app");

// The folders where Outlook is looked for, in order: the system's, then the user's own.
constexpr std::array kSystemFolders = {"/Applications", "/Applications/Microsoft Office 2016",
                                       "/Applications/Microsoft Office 2011"};
constexpr std::array kHomeFolders = {"Applications", "Applications/Microsoft Office 2016",
                                     "Applications/Microsoft Office 2011", "Desktop", "Desktop/Microsoft Office 2016",
                                     "Desktop/Microsoft Office 2011", "Downloads", "Downloads/Microsoft Office 2016",
                                     "Downloads/Microsoft Office 2011", "Documents", "Documents/Microsoft Office 2016",
                                     "Documents/Microsoft Office 2011"};

// Runs a script for at most the detection's timeout; nothing when it fails.
std::optional<NSAppleEventDescriptor> runBounded(const QString &source)
{
    return HMOutlookSQLiteHelper::runScript(source, HMOutlookDetection::kScriptTimeout);
}

} // namespace

const QString HMOutlookDetection::kDefaultReference = QStringLiteral("Microsoft Outlook");
const QString HMOutlookDetection::kBundleReference = QStringLiteral("/Applications/Microsoft Outlook.app");
const QString HMOutlookDetection::kOutlook2011Reference =
    QStringLiteral("/Applications/Microsoft Office 2011/Microsoft Outlook.app");

HMOutlookDetection::HMOutlookDetection(WindowChoicesSource source) : m_windowChoices(std::move(source)) {}

QString HMOutlookDetection::testApplescript()
{
    const std::optional<NSAppleEventDescriptor> answer = runBounded(kScriptingCheck);
    const QString text = answer ? answer->stringValue() : QString();
    DDLogInfo(QStringLiteral("AppleScript test value %1").arg(text));
    return text;
}

QString HMOutlookDetection::customApplicationReference(const QString &setting)
{
    if (setting.endsWith(u'/'))
        return setting + kApplicationBundle;
    if (setting.endsWith(QLatin1String(".app")))
        return setting;
    if (setting.endsWith(QLatin1String("look")))
        return setting + QStringLiteral(".app");
    return setting + u'/' + kApplicationBundle;
}

bool HMOutlookDetection::isVirtualMachineAnswer(const QString &text)
{
    for (const char *word : {"Windows", "boot", "VM"}) {
        if (text.contains(QLatin1String(word), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString HMOutlookDetection::versionForReference(const QString &reference)
{
    const std::optional<NSAppleEventDescriptor> answer = runBounded(
        QStringLiteral("tell application \"%1\"\nset outlookVersion to version\nreturn outlookVersion\nend tell").arg(reference));
    return answer ? answer->stringValue() : QString();
}

QString HMOutlookDetection::fallbackReferenceForTitle(const QString &title) const
{
    if (title.contains(QLatin1String("Outlook 2011")))
        return kOutlook2011Reference;
    if (title.contains(QLatin1String("Outlook 15")) || title.contains(QLatin1String("Outlook 2016")))
        return kBundleReference;
    return {};
}

QString HMOutlookDetection::detectOutlookVersionNumber()
{
    testApplescript();
    const WindowChoices choices = m_windowChoices ? m_windowChoices() : WindowChoices();
    QString reference = kDefaultReference;
    if (choices.useCustomOutlookApplicationPath && !choices.outlookApplicationPathSetting.isEmpty()) {
        reference = customApplicationReference(choices.outlookApplicationPathSetting);
        DDLogInfo(QStringLiteral("Using user-supplied application path: %1").arg(reference));
    }
    QString version = versionForReference(reference);
    if (version.isEmpty() && choices.contactManagerTitle.contains(QLatin1String("Outlook 2016"))) {
        reference = kBundleReference;
        version = versionForReference(reference);
    }
    if (!version.isEmpty() && isVirtualMachineAnswer(version)) {
        // An Outlook of a virtual Windows machine answered: ask the one the profile is set up for.
        DDLogInfo(QStringLiteral("Not taking the version of a virtual machine's Outlook: %1").arg(version));
        reference = fallbackReferenceForTitle(choices.contactManagerTitle);
        version = reference.isEmpty() ? QString() : versionForReference(reference);
    }
    // The reference that answered is the one later scripts must address (a custom path included).
    if (!version.isEmpty())
        GlobalVariables::setOutlookApplicationReference(reference);
    else
        version = versionFromSearch();
    return version.isEmpty() ? QString() : version;
}

QString HMOutlookDetection::versionFromSearch()
{
    m_possibleOutlookApplicationPaths.clear();
    searchForOutlookInstallationPath();
    DDLogInfo(QStringLiteral("Found installation paths: %1").arg(m_possibleOutlookApplicationPaths.join(QStringLiteral(", "))));
    for (const QString &path : std::as_const(m_possibleOutlookApplicationPaths)) {
        GlobalVariables::setOutlookApplicationReference(path);
        const QString version = versionForReference(path);
        if (!version.isEmpty())
            return version;
    }
    return {};
}

void HMOutlookDetection::searchForOutlookInstallationPath()
{
    DDLogInfo(QStringLiteral("Searching for Outlook installation path..."));
    m_possibleOutlookApplicationPaths.clear();
    for (const char *folder : kSystemFolders)
        searchForOutlookInFolder(QString::fromLatin1(folder));
    const QString home = QDir::homePath();
    for (const char *folder : kHomeFolders)
        searchForOutlookInFolder(home + u'/' + QLatin1String(folder));
}

void HMOutlookDetection::searchForOutlookInFolder(const QString &folderPath)
{
    // The listing is read where the folder lies on disk; the paths kept are the ones scripts name.
    const QDir folder(platform::FileSystem::systemPath(folderPath));
    const QStringList names = folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Unsorted);
    for (const QString &name : names) {
        if (QFileInfo(name).suffix() == u"app" && name.contains(QLatin1String("Outlook"), Qt::CaseInsensitive))
            m_possibleOutlookApplicationPaths.append(QDir::cleanPath(folderPath + u'/' + name));
    }
}

std::optional<QStringList> HMOutlookDetection::runScript(const QString &source)
{
    const std::optional<NSAppleEventDescriptor> result = runBounded(source);
    if (!result)
        return std::nullopt;
    QStringList texts;
    for (qint64 index = 1; index <= result->numberOfItems(); ++index)
        texts.append(result->descriptorAtIndex(index).stringValue());
    return texts;
}
