#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

// A folder map of one conduit: folder id (or "allFolders") to the item a picker shows, in insertion
// order with "allFolders" first, so that one key order serves the list, the default index and saving.
class HMFolderMap final
{
public:
    void clear();
    // Adds the key at the end, or replaces the value of a key already present, in its place.
    void insert(const QString &key, const QVariant &value);
    QVariant value(const QString &key) const { return m_values.value(key); }
    const QStringList &keys() const { return m_keys; }
    qsizetype size() const { return m_keys.size(); }
    bool isEmpty() const { return m_keys.isEmpty(); }
    QVariantList items() const;
    // The index of the saved choice's key (a missing choice counts as "allFolders"), 0 when no key is it.
    qsizetype indexOfKey(const QString &savedChoice) const;

private:
    QStringList m_keys;
    QMap<QString, QVariant> m_values;
};

// What the Outlook folders tab asks Outlook, one script after another: the version check, the
// Exchange account names and the four folder lists with their record counts. It holds its own
// results and touches nothing else, so the whole series can run on a worker thread while the window
// stays live; cancel() makes the remaining scripts answer nothing at once. Each script waits
// scriptTimeout at most.
class HMOutlookFolderQueries final
{
public:
    static constexpr char kDefaultReference[] = "Microsoft Outlook";

    struct Configuration
    {
        QString configuredOutlookVersion;
        bool useCustomOutlookApplicationPath = false;
        QString outlookApplicationPathSetting;
        bool isGoogleDirect = false;
        std::chrono::seconds scriptTimeout{30};
        // Told each script text before it is sent, on the thread that sends it (for measurements).
        std::function<void(const QString &source)> willRunScript;
    };

    explicit HMOutlookFolderQueries(Configuration configuration) : m_configuration(std::move(configuration)) {}

    // Asks the version, chooses and records (in applicationReference) the reference later scripts
    // use, and tells whether the installed version fits the configured one.
    bool validateOutlookConfiguration();
    void buildAccountNameDictionary();
    QVariantList contactsComboBoxArray();
    QVariantList calendarComboBoxArray();
    QVariantList taskComboBoxArray();
    QVariantList memosComboBoxArray();
    // The name-to-id maps of the calendar and task folders ("All ..." first).
    QVariantMap outlookCalendarFoldersDictionary();
    QVariantMap outlookTaskFoldersDictionary();

    void cancel() { m_cancelled.store(true); }

    // The application text the version check addressed first: "Microsoft Outlook" or the completed
    // custom path.
    QString applicationText() const;
    static QString completedApplicationPath(const QString &setting);

    const Configuration &configuration() const { return m_configuration; }
    QString installedOutlookVersion;
    bool isConfigurationValid = false; // the answer of validateOutlookConfiguration, for the main thread
    // What the version check records as the process-wide application reference (null: none).
    QString applicationReference;
    bool isReferenceRecorded = false;
    QMap<QString, QString> accountNameDictionary;
    HMFolderMap contactFoldersDictionary;
    HMFolderMap calendarFoldersDictionary;
    HMFolderMap taskFoldersDictionary;
    HMFolderMap memoFoldersDictionary;
    // The contact folders' properties failed with -2753 (Outlook's folders cannot be read).
    bool contactFoldersUnreadable = false;

private:
    struct FolderKind
    {
        const char *folderClass;   // "address book"
        const char *countedClass;  // "contacts in address book"
        const char *allLabel;      // "All Contact Folders"
        bool singularRecord;       // "record" for a count of 1
    };

    std::optional<platform::NSAppleEventDescriptor> run(const QString &source, int *errorNumber = nullptr) const;
    QString versionFor(const QString &application) const;
    QString reference() const;
    QVariantList folderList(const FolderKind &kind, HMFolderMap &folders, bool *unreadable);
    QVariant countedItem(const FolderKind &kind, const QString &key, const QString &label) const;
    QVariantMap nameToIdMap(const FolderKind &kind) const;

    Configuration m_configuration;
    std::atomic<bool> m_cancelled{false};
};
