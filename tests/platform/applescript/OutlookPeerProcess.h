#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The simulated Outlook as its own process, in a temporary home and runtime folder of its own; the
// process's XDG_RUNTIME_DIR points there, so the script runners find its sockets.
class OutlookPeerProcess final
{
public:
    struct Options
    {
        QStringList arguments;     // extra arguments (--outlook-version 14, --reference ...)
        QString timeZone = QStringLiteral("UTC");
        QString folder; // where home and runtime folders lie; empty: a temporary folder of its own
    };

    OutlookPeerProcess() : OutlookPeerProcess(Options()) {}
    explicit OutlookPeerProcess(const Options &options);
    ~OutlookPeerProcess();

    bool isReady() const { return m_ready; }
    QString home() const { return m_root + QStringLiteral("/home"); }
    QString runtimeDir() const { return m_root + QStringLiteral("/run"); }
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

    // Sends a control message (seed, dump, switches, clock, user edits) and returns the answer.
    QJsonObject control(const QJsonObject &command) const;
    QJsonObject seed(const QJsonObject &state) const;
    QJsonObject dump() const;

private:
    QTemporaryDir m_folder;
    QString m_root;
    QProcess m_process;
    bool m_ready = false;
};
