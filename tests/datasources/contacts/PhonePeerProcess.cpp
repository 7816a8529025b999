#include "PhonePeerProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include "PhoneText.h"

#include <QJsonDocument>
#include <QJsonObject>

PhonePeerProcess::PhonePeerProcess(const QString &dataFile)
{
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--device-id"), deviceId()};
    if (!dataFile.isEmpty())
        arguments << QStringLiteral("--data") << dataFile;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(HM_PHONE_PEER_PATH), arguments);
    // The program's first line names its address: "phone_peer listening on 127.0.0.1:PORT".
    const QByteArray prefix = "phone_peer listening on 127.0.0.1:";
    while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
    }
    const QByteArray line = m_process.readLine().trimmed();
    if (line.startsWith(prefix))
        m_port = line.mid(prefix.size()).toInt();
    if (m_port <= 0)
        ADD_FAILURE() << "the phone peer program did not start: " << line.toStdString();
}

PhonePeerProcess::~PhonePeerProcess()
{
    stop();
}

void PhonePeerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

QByteArray PhonePeerProcess::get(const char *path) const
{
    httplib::Client client("127.0.0.1", m_port);
    client.set_read_timeout(10, 0);
    const httplib::Result result = client.Get(path);
    if (!result || result->status != 200) {
        ADD_FAILURE() << "the phone peer did not answer " << path;
        return {};
    }
    return QByteArray::fromStdString(result->body);
}

QList<phonepeer::PhoneRecord> PhonePeerProcess::records(phonepeer::Conduit conduit) const
{
    phonepeer::PhoneStore store;
    QString problem;
    if (!store.fromJson(get("/peer_records"), problem)) {
        ADD_FAILURE() << "the phone peer's records: " << problem.toStdString();
        return {};
    }
    return store.records(conduit);
}

QStringList PhonePeerProcess::requestLog() const
{
    return QString::fromUtf8(get("/peer_requests")).split(u'\n', Qt::SkipEmptyParts);
}

QString PhonePeerProcess::editContact(const QString &action, const QString &uid, const QMap<QString, QString> &fields) const
{
    return editRecord(phonepeer::Conduit::Contacts, action, uid, fields);
}

QString PhonePeerProcess::editRecord(phonepeer::Conduit conduit, const QString &action, const QString &uid,
                                     const QMap<QString, QString> &fields) const
{
    QJsonObject given;
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        given.insert(it.key(), it.value());
    const QJsonObject edit{{QStringLiteral("conduit"), QString(phonepeer::letterOf(conduit))},
                           {QStringLiteral("action"), action}, {QStringLiteral("uid"), uid}, {QStringLiteral("fields"), given}};
    httplib::Client client("127.0.0.1", m_port);
    client.set_read_timeout(10, 0);
    const httplib::Result result =
        client.Post("/peer_records", QJsonDocument(edit).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    if (!result || result->status != 200) {
        ADD_FAILURE() << "the phone peer refused the edit " << action.toStdString() << " " << uid.toStdString();
        return {};
    }
    return QString::fromStdString(result->body).section(u'\n', 1, 1);
}

bool PhonePeerProcess::fault(const QMap<QString, QString> &fields) const
{
    httplib::Params params;
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        params.emplace(it.key().toStdString(), it.value().toStdString());
    httplib::Client client("127.0.0.1", m_port);
    const httplib::Result result = client.Post("/peer_control", params);
    return result && result->status == 200;
}
