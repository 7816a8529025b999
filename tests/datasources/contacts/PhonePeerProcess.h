#pragma once

#include "PhoneStore.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// The phone peer program as its own process on a loopback port, read back through its control
// endpoints: the records it keeps and the paths of the requests it received.
class PhonePeerProcess final
{
public:
    // Starts the program with the data file (none when empty); isReady() says whether it listens.
    explicit PhonePeerProcess(const QString &dataFile = {});
    ~PhonePeerProcess();
    PhonePeerProcess(const PhonePeerProcess &) = delete;
    PhonePeerProcess &operator=(const PhonePeerProcess &) = delete;

    bool isReady() const { return m_port > 0; }
    int port() const { return m_port; }
    QString deviceId() const { return QStringLiteral("QP-PEER-0001"); }
    // Ends the program (SIGTERM, then SIGKILL).
    void stop();

    // The records of the conduit (a test failure, and none, when the peer does not answer).
    QList<phonepeer::PhoneRecord> records(phonepeer::Conduit conduit) const;
    QStringList requestLog() const;
    // An edit made on the phone itself ("add", "update" or "delete" of a contact): the record's id,
    // or an empty text (and a test failure) when the peer refuses it.
    // A fault of the phone's (form fields of its control endpoint); false when refused.
    bool fault(const QMap<QString, QString> &fields) const;
    QString editContact(const QString &action, const QString &uid, const QMap<QString, QString> &fields = {}) const;
    // The same for a record of any conduit.
    QString editRecord(phonepeer::Conduit conduit, const QString &action, const QString &uid,
                       const QMap<QString, QString> &fields = {}) const;

private:
    QByteArray get(const char *path) const;

    QProcess m_process;
    int m_port = 0;
};
