#pragma once

#include <httplib.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

inline const QString kEmail = QStringLiteral("me@example.com");

// The Google peer as a program, with the account me@example.com and its refresh token "1//rt".
class GooglePeerProcess final
{
public:
    explicit GooglePeerProcess(const QString &folder, QString program) : m_folder(folder), m_program(std::move(program))
    {
        start();
    }
    ~GooglePeerProcess() { stop(); }

    void start()
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList arguments{QStringLiteral("--certificates"), QDir(m_folder).filePath(QStringLiteral("certificates")),
                              QStringLiteral("--state"), QDir(m_folder).filePath(QStringLiteral("peer-state.json")),
                              QStringLiteral("--account"), kEmail + QStringLiteral(":1//rt")};
        if (port > 0)
            arguments << QStringLiteral("--port") << QString::number(port);
        m_process.start(m_program, arguments);
        if (!m_process.waitForReadyRead(20000))
            return;
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        for (const QString &part : line.split(u' ')) {
            if (part.startsWith(QLatin1String("https-port=")))
                port = part.section(u'=', 1).toInt();
            else if (part.startsWith(QLatin1String("ca=")))
                caFile = part.section(u'=', 1);
        }
    }
    // As a crash would: SIGKILL, no clean-up.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    void stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }

    QByteArray control(const char *path, const QJsonObject &body = {}) const
    {
        httplib::SSLClient client("127.0.0.1", port);
        client.set_ca_cert_path(caFile.toLocal8Bit().constData());
        const auto reply = client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json");
        return reply ? QByteArray::fromStdString(reply->body) : QByteArray();
    }
    QJsonArray requests() const { return QJsonDocument::fromJson(control("/peer/requests")).array(); }
    QStringList requestPaths() const
    {
        QStringList paths;
        for (const QJsonValue &request : requests())
            paths << request.toObject().value("path").toString();
        return paths;
    }

    int port = 0;
    QString caFile;

private:
    QString m_folder;
    QString m_program;
    QProcess m_process;
};

