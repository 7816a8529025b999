#pragma once

#include "platform/foundation/FileIO.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

class HMConfiguration;
class HMIdentifierGraph;
class HMProfile;

namespace platform {
class UserDefaults;
}

// Creates, loads, saves and deletes profiles. Each profile lives in "<filename>.settings" at the top of
// the data folder: its keyed archive (root key "HMProfile") inside the encrypted framing of
// NSData+Encrypt.h. The class operations load and store identifier graphs, "<filename>_<conduit
// letter>.idgraph", as plain keyed archives (root key "HMIdentifierGraph"). A small trace of profile
// creation goes to "profileManagerLog.plist".
// Files are written whole (a temporary file renamed over the old one), so a failed write leaves the
// previous file as it was. A file that cannot be read is skipped and left untouched.
// The application delegate owns one manager for the life of the process. newProfile, loadProfiles,
// the deletions and the trace run on the main thread; saveProfile and the graph operations may run
// on any thread (a sync queue) and share no working state between calls.
class HMProfileManager final
{
public:
    // Numbers new profiles through the standard user defaults.
    HMProfileManager();
    // Numbers new profiles through the given defaults, which must outlive the manager.
    explicit HMProfileManager(platform::UserDefaults &userDefaults);
    HMProfileManager(const HMProfileManager &) = delete;
    HMProfileManager &operator=(const HMProfileManager &) = delete;

    // Gives every new and loaded profile its supported lists; without one they stay empty.
    std::shared_ptr<HMConfiguration> configuration() const { return m_configuration; }
    void setConfiguration(std::shared_ptr<HMConfiguration> configuration)
    {
        m_configuration = std::move(configuration);
    }
    qint64 startupLogCounter() const { return m_startupLogCounter; }
    void setStartupLogCounter(qint64 counter) { m_startupLogCounter = counter; }
    QVariantMap startupLogDictionary() const { return m_startupLogDictionary; }
    void setStartupLogDictionary(const QVariantMap &entries) { m_startupLogDictionary = entries; }

    // A new profile in memory, named "Profile <n>" with the next number of "LastProfileIdentifier",
    // with a new file name and the configuration's lists. Not saved.
    std::shared_ptr<HMProfile> newProfile();
    // Every profile stored at the top of the data folder, in no particular order. A file that cannot
    // be read, decrypted or decoded is logged and skipped. Fails only when the folder cannot be
    // listed.
    platform::Result<QList<std::shared_ptr<HMProfile>>> loadProfiles();
    // Writes the profile's encrypted file atomically; false, with the failure logged, when the
    // profile was not written (the previous file then stays whole). A profile whose stored fields are
    // those this manager last wrote to its file, while that file is still the one written, is not
    // written again.
    bool saveProfile(const HMProfile &profile) const;
    // Removes the profile's settings file; its identifier graphs stay. Failures go to the console.
    bool deleteProfile(const HMProfile &profile);
    // Removes every settings file at the top of the data folder.
    void deleteProfiles();
    // Appends an entry to the trace file.
    void writeStringToFile(const QString &text);

    // The stored graph of a profile's conduit ("A", "D", "T", "M"), a new empty graph when there is no
    // file or the file is damaged (it is then renamed and kept), or nullptr for an Outlook sync and for
    // a file that cannot be read or set aside. Never creates a file.
    static std::shared_ptr<HMIdentifierGraph> identifierGraphForProfile(const HMProfile &profile,
                                                                        const QString &conduit);
    // Writes the graph atomically and removes its journal; false when it was not written (an Outlook
    // sync, or a failure).
    static bool saveIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit);
    // Makes the graph's changes since it was last loaded or written durable by appending them to the
    // journal beside its file (synced to disk), without rewriting the file; nothing is written when
    // nothing changed. A graph the manager did not load or write is written whole.
    static bool journalIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit);
    // At the end of a conduit: journals the changes as journalIdentifier does, but folds the journal
    // into a new graph file (saveIdentifier) once it would hold entries and be longer than an
    // eighth of the graph file, or hold more than a few hundred lines (a run that changes nothing
    // adds one with its date). A journal left in place is replayed at each load, so the files
    // always load to the graph a fold would have written.
    static bool finishIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit);

private:
    // A profile file as this manager left it.
    struct WrittenProfile
    {
        QByteArray digest;
        platform::FileStamp file;
    };
    bool holdsAlready(const QString &path, const QByteArray &digest) const;
    void rememberWritten(const QString &path, const QByteArray &digest) const;
    void writeTrace() const;

    platform::UserDefaults *m_userDefaults;
    std::shared_ptr<HMConfiguration> m_configuration;
    qint64 m_startupLogCounter = 0;
    QVariantMap m_startupLogDictionary;
    // Saves may run on a sync queue while the main thread saves another profile.
    mutable std::mutex m_writtenMutex;
    mutable QHash<QString, WrittenProfile> m_writtenProfiles;
};
