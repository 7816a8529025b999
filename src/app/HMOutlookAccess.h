#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

// What the main window asks of Outlook before a sync of an Outlook profile: the running Outlook's
// version, and the folder lists and account addresses its scripts return. Outlook detection
// implements it; main thread only.
class HMOutlookAccess
{
public:
    virtual ~HMOutlookAccess() = default;

    // The running Outlook's version text, or a null text when no Outlook is found.
    virtual QString detectOutlookVersionNumber() = 0;
    // The texts of the items of the script's result, in order; nothing when the script fails.
    virtual std::optional<QStringList> runScript(const QString &source) = 0;
};

// Finds which Outlook is installed and running and under which application reference scripts reach
// it: the reference "Microsoft Outlook" or the profile's own application path, then the fixed bundle
// path of the contact manager chosen, then every Outlook application found in the usual folders.
// The reference that answered is stored process-wide (GlobalVariables) for every later script.
//
// The system folders ("/Applications", ...) are read under platform::FileSystem::systemRootPath,
// the home ones under $HOME. Every script waits kScriptTimeout at most: they run on the main thread,
// and a stalled Outlook must not freeze the window for the whole Apple-event timeout. Main thread
// only; owned by the main window.
class HMOutlookDetection final : public HMOutlookAccess
{
public:
    // What the detection reads of the main window: the first selected profile's application path
    // choice and the selected title of the contact-manager popup ("Outlook 2011", "Outlook 2016").
    struct WindowChoices
    {
        bool useCustomOutlookApplicationPath = false;
        QString outlookApplicationPathSetting;
        QString contactManagerTitle;
    };
    using WindowChoicesSource = std::function<WindowChoices()>;

    static constexpr std::chrono::seconds kScriptTimeout{5};
    static const QString kDefaultReference;     // "Microsoft Outlook"
    static const QString kBundleReference;      // "/Applications/Microsoft Outlook.app"
    static const QString kOutlook2011Reference; // "/Applications/Microsoft Office 2011/Microsoft Outlook.app"

    explicit HMOutlookDetection(WindowChoicesSource source);

    QString detectOutlookVersionNumber() override;
    std::optional<QStringList> runScript(const QString &source) override;

    // Runs the scripting check and logs its answer; the answer, or a null text when scripting fails.
    QString testApplescript();
    // Empties the list and fills it from the usual folders, in their order.
    void searchForOutlookInstallationPath();
    // Appends every "*.app" entry of the folder whose name contains "Outlook" (any case), as a full
    // path, in the folder's listing order; a missing folder adds nothing.
    void searchForOutlookInFolder(const QString &folderPath);
    const QStringList &possibleOutlookApplicationPaths() const { return m_possibleOutlookApplicationPaths; }

    // The application a custom path setting names: a folder gets "Microsoft Outlook.app" appended,
    // a path ending in "look" gets ".app".
    static QString customApplicationReference(const QString &setting);
    // Whether a version text comes from an Outlook of a virtual Windows machine ("Windows", "boot",
    // "VM" in any case).
    static bool isVirtualMachineAnswer(const QString &text);
    // The version script's text for the reference; a null text when the script fails.
    static QString versionForReference(const QString &reference);

private:
    QString fallbackReferenceForTitle(const QString &title) const;
    QString versionFromSearch();

    WindowChoicesSource m_windowChoices;
    QStringList m_possibleOutlookApplicationPaths;
};
