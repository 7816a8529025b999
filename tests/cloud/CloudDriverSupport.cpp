#include "CloudDriverSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <gtest/gtest.h>

PeerProcess::PeerProcess(const QString &folder) : m_folder(folder)
{
    if (start({}))
        control("/peer/account", QJsonObject{{"Username", "u@x.com"}, {"Password", "secret"}});
}

PeerProcess::~PeerProcess()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(10000))
        m_process->kill();
    m_process->waitForFinished(5000);
}

bool PeerProcess::start(const QStringList &ports)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start(QStringLiteral(HM_CLOUD_PEER_PATH),
                     QStringList{QStringLiteral("--certificates"), QDir(m_folder).filePath(QStringLiteral("certificates")),
                                 QStringLiteral("--state"), QDir(m_folder).filePath(QStringLiteral("peer-state.json"))} +
                         ports);
    if (!m_process->waitForReadyRead(20000))
        return false;
    const QString line = QString::fromUtf8(m_process->readLine()).trimmed();
    for (const QString &part : line.split(u' ')) {
        const QString value = part.section(u'=', 1);
        if (part.startsWith(QLatin1String("https-port=")))
            httpsPort = value.toInt();
        else if (part.startsWith(QLatin1String("http-port=")))
            httpPort = value.toInt();
        else if (part.startsWith(QLatin1String("ca=")))
            caFile = value;
    }
    return httpsPort > 0;
}

void PeerProcess::kill()
{
    m_process->kill();
    m_process->waitForFinished(5000);
}

bool PeerProcess::restart()
{
    // The certificates are made again; the client trusts the new CA file at the same path.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (start({QStringLiteral("--https-port"), QString::number(httpsPort), QStringLiteral("--http-port"),
                   QString::number(httpPort)}))
            return true;
        m_process->waitForFinished(2000);
        QThread::msleep(100);
    }
    return false;
}

QJsonObject PeerProcess::control(const char *path, const QJsonObject &body) const
{
    httplib::Client client("127.0.0.1", httpPort);
    client.set_read_timeout(60, 0);
    const auto reply = client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json");
    return reply ? QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object() : QJsonObject();
}

QList<QJsonObject> PeerProcess::requests() const
{
    httplib::Client client("127.0.0.1", httpPort);
    const auto reply = client.Get("/peer/requests");
    QList<QJsonObject> list;
    if (!reply)
        return list;
    for (const QJsonValue &request :
         QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object().value("requests").toArray())
        list << request.toObject();
    return list;
}

QStringList PeerProcess::requestPaths() const
{
    QStringList paths;
    for (const QJsonObject &request : requests())
        paths << request.value("path").toString();
    return paths;
}

QList<QJsonObject> PeerProcess::records(const QString &table) const
{
    QList<QJsonObject> list;
    for (const QJsonValue &record :
         control("/peer/records", QJsonObject{{"Username", "u@x.com"}, {"Table", table}}).value("records").toArray())
        list << record.toObject();
    return list;
}

QStringList PeerProcess::liveNames(const QString &table) const
{
    QStringList names;
    for (const QJsonObject &record : records(table)) {
        if (record.value("Deleted").toString() == QLatin1String("1"))
            continue;
        names << (table == QLatin1String("Contacts")
                      ? record.value("First").toString() + u' ' + record.value("Last").toString()
                      : record.value("Subject").toString());
    }
    names.sort();
    return names;
}

void PeerProcess::putRecords(const QString &table, const QList<QJsonObject> &records) const
{
    QJsonArray list;
    for (const QJsonObject &record : records)
        list.append(record);
    control("/peer/put-records", QJsonObject{{"Username", "u@x.com"}, {"Table", table}, {"Records", list}});
}

void PeerProcess::addSwitch(const QString &kind, const QString &path, int times, int every, int stallMs) const
{
    control("/peer/switch",
            QJsonObject{{"kind", kind}, {"path", path}, {"times", times}, {"every", every}, {"stallMs", stallMs}});
}

Desktop::Desktop(bool withTasks) : m_withTasks(withTasks)
{
    QDir().mkpath(contactsFolder());
    QDir().mkpath(calendarsFolder());
    QFile file(m_home.filePath(QStringLiteral("password")));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write("secret\n");
}

QStringList Desktop::arguments(const QStringList &extra) const
{
    return QStringList{QStringLiteral("--create-cloud-profile"), QStringLiteral("--cloud-user"), QStringLiteral("u@x.com"),
                       QStringLiteral("--cloud-password-file"), m_home.filePath(QStringLiteral("password")),
                       QStringLiteral("--cloud-conduits"),
                       m_withTasks ? QStringLiteral("contacts,calendar,tasks") : QStringLiteral("contacts,calendar"),
                       QStringLiteral("--contacts-folder"), contactsFolder(), QStringLiteral("--calendars-folder"),
                       calendarsFolder(), QStringLiteral("--timeout"), QStringLiteral("240"),
                       QStringLiteral("--allow-mass-deletions")} +
           extra;
}

namespace {

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

QString lineValue(const QByteArray &text, const QByteArray &name)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(name + ':') || line.startsWith(name + ';'))
            return QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
    }
    return QString();
}

} // namespace

QStringList Desktop::contactNames() const
{
    QStringList names;
    for (const QString &name : QDir(contactsFolder()).entryList({QStringLiteral("*.vcf")}, QDir::Files))
        names << lineValue(readSmall(QDir(contactsFolder()).filePath(name)), "FN");
    names.sort();
    return names;
}

QStringList Desktop::summaries(const QByteArray &component) const
{
    QStringList names;
    QDirIterator files(calendarsFolder(), {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QByteArray text = readSmall(files.next());
        if (text.contains("BEGIN:" + component))
            names << lineValue(text, "SUMMARY");
    }
    names.sort();
    return names;
}

QStringList Desktop::eventNames() const
{
    return summaries("VEVENT");
}

QStringList Desktop::taskNames() const
{
    return summaries("VTODO");
}

QString Desktop::contactFile(const QString &name) const
{
    for (const QString &file : QDir(contactsFolder()).entryList({QStringLiteral("*.vcf")}, QDir::Files)) {
        const QString path = QDir(contactsFolder()).filePath(file);
        if (lineValue(readSmall(path), "FN") == name)
            return path;
    }
    return QString();
}

QString Desktop::eventFile(const QString &name) const
{
    QDirIterator files(calendarsFolder(), {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (lineValue(readSmall(path), "SUMMARY") == name)
            return path;
    }
    return QString();
}

std::unique_ptr<QProcess> startDriver(const Desktop &desktop, const PeerProcess &peer, const QStringList &extra,
                                      const QStringList &environment)
{
    auto driver = std::make_unique<QProcess>();
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("HOME"), desktop.home());
    variables.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    variables.insert(QStringLiteral("HM_QUILLNEST_HOST"), QStringLiteral("127.0.0.1:%1").arg(peer.httpsPort));
    variables.insert(QStringLiteral("HM_TLS_CA_FILE"), peer.caFile);
    variables.insert(QStringLiteral("HM_SYNC_PRINT_DATES"), QStringLiteral("1"));
    for (const QString &setting : environment)
        variables.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    driver->setProcessEnvironment(variables);
    driver->setProcessChannelMode(QProcess::MergedChannels);
    driver->start(QStringLiteral(HM_SYNC_ONCE_PATH), desktop.arguments(extra));
    driver->waitForStarted(10000);
    return driver;
}

DriverRun finishDriver(QProcess &driver, std::chrono::milliseconds limit)
{
    if (!driver.waitForFinished(int(limit.count()))) {
        driver.kill();
        driver.waitForFinished(10000);
        return {-9, QString::fromUtf8(driver.readAll())};
    }
    return {driver.exitStatus() == QProcess::CrashExit ? -9 : driver.exitCode(), QString::fromUtf8(driver.readAll())};
}

DriverRun runDriver(const Desktop &desktop, const PeerProcess &peer, const QStringList &extra,
                    std::optional<std::chrono::milliseconds> killAfter, const QStringList &environment)
{
    const std::unique_ptr<QProcess> driver = startDriver(desktop, peer, extra, environment);
    return finishDriver(*driver, killAfter.value_or(std::chrono::milliseconds(280000)));
}

QStringList duplicatesIn(const QStringList &names)
{
    QSet<QString> seen;
    QSet<QString> twice;
    for (const QString &name : names) {
        if (seen.contains(name))
            twice.insert(name);
        seen.insert(name);
    }
    QStringList list(twice.cbegin(), twice.cend());
    list.sort();
    return list;
}

bool replaceLine(const QString &path, const QByteArray &prefix, const QByteArray &line)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QList<QByteArray> lines = file.readAll().split('\n');
    for (QByteArray &existing : lines) {
        if (existing.startsWith(prefix))
            existing = line + (existing.endsWith('\r') ? "\r" : "");
    }
    file.resize(0);
    file.seek(0);
    return file.write(lines.join('\n')) > 0;
}
