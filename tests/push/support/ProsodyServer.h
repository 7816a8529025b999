#pragma once

#include "ChildProcess.h"

#include <QString>
#include <QTemporaryDir>

// An XMPP server for the tests: Prosody on a free loopback port, configured in a folder of its own
// with VirtualHost "localhost", a certificate of a test CA, encryption required, in-band registration
// and "kick_new" on resource conflicts. Its log is printed when the test that used it failed.
class ProsodyServer
{
public:
    ProsodyServer();
    ~ProsodyServer();
    ProsodyServer(const ProsodyServer &) = delete;
    ProsodyServer &operator=(const ProsodyServer &) = delete;

    // Whether the configuration and certificates were made (otherwise the reason is in error()).
    bool isReady() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }

    // Starts the server (again, on the same port) and waits until it accepts connections.
    bool start();
    // Stops it with SIGTERM, or kills it with SIGKILL, and waits for its end.
    void stop();
    void kill();
    bool restart();
    bool isRunning() { return m_process.isRunning(); }

    // Makes an account with prosodyctl.
    bool createAccount(const QString &user, const QString &password);

    quint16 port() const { return m_port; }
    QString caFile() const { return m_caFile; }
    QString logText() const;

private:
    bool writeConfiguration(const QString &certFile, const QString &keyFile);
    bool waitUntilListening(int timeoutMs);

    QTemporaryDir m_folder;
    looptest::ChildProcess m_process;
    quint16 m_port = 0;
    QString m_caFile;
    QString m_configFile;
    QString m_error;
};
