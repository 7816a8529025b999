#pragma once

#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "SyncRunner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class HMProfile;
class HMProfileManager;

// Whole syncs of the contacts conduit of an Outlook 2016 (or 2011) Wi-Fi profile through the sync
// controller and the Wi-Fi transport: the simulated Outlook as its own process, the phone peer on
// loopback. The profile sends Outlook's contacts to the phone (direction Outlook to device, deletions
// both ways).
class OutlookSyncRun final
{
public:
    // The direction is the profile's contact sync direction ("mac_to_device", "two_way", ...); the
    // version "15" (Outlook 2016) or "14" (Outlook 2011), for the profile and the simulated Outlook.
    explicit OutlookSyncRun(const QString &direction = QStringLiteral("mac_to_device"),
                            const QString &outlookVersion = QStringLiteral("15"));
    ~OutlookSyncRun();

    OutlookPeerProcess &outlook() { return *m_outlook; }
    const PhonePeerProcess &phone() const { return *m_phone; }
    std::shared_ptr<HMProfileManager> manager() const { return m_manager; }
    // Outlook's contacts as the peer keeps them.
    QJsonArray outlookContacts() const;
    HMProfile &profile() { return *m_profile; }
    void saveProfile();
    QString root() const { return m_root.path(); }
    hmsync::SyncOutcome sync();

    // Outlook's control messages.
    qint64 addContact(const QJsonObject &fields) const;
    void editContact(qint64 id, const QJsonObject &fields) const;
    void deleteContact(qint64 id) const;
    void switches(const QJsonObject &switches) const;
    // The phone's contact whose field has the value.
    std::optional<phonepeer::PhoneRecord> phoneContact(const QString &key, const QString &value) const;
    // How many update requests the phone received so far.
    qsizetype updateRequests() const;

private:
    QTemporaryDir m_root;
    QTemporaryDir m_phoneFolder;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<PhonePeerProcess> m_phone;
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
    QByteArray m_oldHome;
};

// The simulated Outlook's seed: the default folders, a second address book (id 42) and two categories
// with colours (1 "Work" red, 2 "Friends" green), no contacts.
QJsonObject outlookSeed();
// A contact with every field group the reader maps (phones of every kind, three e-mails, both
// addresses, spouse, children, birthday, anniversary, a note with line breaks, "&" and a literal
// backslash-n, both categories).
QJsonObject fullContact();
