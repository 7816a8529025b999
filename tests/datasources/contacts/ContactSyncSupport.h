#pragma once

#include "AddressBookTestSupport.h"
#include "PhonePeer.h"
#include "SyncRunner.h"

#include "sync/HMSyncTypes.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class HMProfile;
class HMProfileManager;

// What identifies one state of a file: a file that is rewritten changes at least one of these.
struct FileStamp
{
    qint64 size = 0;
    qint64 modificationNs = 0;
    quint64 inode = 0;
    bool operator==(const FileStamp &other) const = default;
};

// Whole syncs of the contacts conduit of an Apple Wi-Fi profile through the sync controller and the
// Wi-Fi transport against the phone peer on loopback, with the desktop's contacts in a vCard folder.
class ContactSyncRun final
{
public:
    explicit ContactSyncRun(HMSyncDeletions deletions = HMSyncDeletions::TwoWay);
    ~ContactSyncRun();

    phonepeer::PhonePeer &peer() { return *m_peer; }
    StoreFolder &folder() { return m_folder; }
    hmsync::SyncOutcome sync();

    // The state of every file of the folder, by name.
    QMap<QString, FileStamp> stamps() const;
    // The phone's contact whose field has the value.
    std::optional<phonepeer::PhoneRecord> phoneContact(const QString &key, const QString &value) const;
    // The name of the card file whose text holds the text.
    QString fileHolding(const QByteArray &text) const;
    // Rewrites a card file as another program would: replaced text, a new REV, a temporary file renamed
    // over the old one.
    void rewriteAsAnotherProgram(const QString &fileName, const QByteArray &from, const QByteArray &to) const;

private:
    StoreFolder m_folder;
    QTemporaryDir m_phoneFolder;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
};

QString describe(const hmsync::SyncOutcome &outcome);
// Card text with its folded lines joined.
QByteArray unfolded(QByteArray card);
// Runs a program and answers its standard output; an empty text (and a test failure) when it fails.
QString runProgram(const QString &program, const QStringList &arguments);
// A khard configuration whose one address book is the folder (the run's); answers its path.
QString khardConfig(const QString &folder);
QString khardConfig(ContactSyncRun &run);
// khard's parsable listing of the folder (the run's) for the command ("list", "phone", "email"): the
// first two columns of each row; cards khard cannot read are left out.
QSet<QString> khardRows(const QString &folder, const QString &command);
QSet<QString> khardRows(ContactSyncRun &run, const QString &command);
// The Debian python3, which has vobject, in preference to another one on the path.
QString pythonProgram();
