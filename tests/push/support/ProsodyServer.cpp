#include "ProsodyServer.h"

#include "LoopbackPorts.h"

#include "TestCertificates.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>

namespace {

bool acceptsConnections(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool isOpen = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return isOpen;
}

QString luaString(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

ProsodyServer::ProsodyServer()
{
    peertls::CertificateFiles files;
    QString reason;
    if (!peertls::makeTestCertificates(m_folder.path(), peertls::CertificateOptions(), files, reason)) {
        m_error = QStringLiteral("no test certificates: ") + reason;
        return;
    }
    m_caFile = files.caFile;
    m_port = looptest::probeTcpPort();
    if (!writeConfiguration(files.certFile, files.keyFile))
        m_error = QStringLiteral("cannot write the configuration");
}

ProsodyServer::~ProsodyServer()
{
    kill();
    if (::testing::Test::HasFailure())
        std::cerr << "---- Prosody's log ----\n" << logText().toStdString() << "---- end of Prosody's log ----\n";
}

bool ProsodyServer::writeConfiguration(const QString &certFile, const QString &keyFile)
{
    const QString folder = m_folder.path();
    QFile::setPermissions(keyFile, QFile::ReadOwner | QFile::WriteOwner);
    const QString text =
        QStringLiteral("run_as_root = true\n"
                       "pidfile = %1\n"
                       "data_path = %2\n"
                       "certificates = %3\n"
                       "interfaces = { \"127.0.0.1\" }\n"
                       "c2s_ports = { %4 }\n"
                       "s2s_ports = { }\nhttp_ports = { }\nhttps_ports = { }\nc2s_direct_tls_ports = { }\n"
                       "log = { { levels = { min = \"debug\" }, to = \"file\", filename = %5 } }\n"
                       "modules_enabled = { \"roster\"; \"saslauth\"; \"tls\"; \"disco\"; \"register\"; \"ping\" }\n"
                       "modules_disabled = { \"s2s\"; \"offline\"; \"c2s_direct_tls\" }\n"
                       "c2s_require_encryption = true\n"
                       "allow_registration = true\n"
                       "conflict_resolve = \"kick_new\"\n"
                       "authentication = \"internal_hashed\"\n"
                       "VirtualHost \"localhost\"\n"
                       "    ssl = { key = %6; certificate = %7 }\n")
            .arg(luaString(folder + QStringLiteral("/prosody.pid")), luaString(folder + QStringLiteral("/data")),
                 luaString(folder))
            .arg(m_port)
            .arg(luaString(folder + QStringLiteral("/prosody.log")), luaString(keyFile), luaString(certFile));
    m_configFile = folder + QStringLiteral("/prosody.cfg.lua");
    QFile config(m_configFile);
    return m_folder.isValid() && QDir().mkpath(folder + QStringLiteral("/data")) && config.open(QIODevice::WriteOnly) &&
           config.write(text.toUtf8()) == text.toUtf8().size();
}

bool ProsodyServer::start()
{
    if (!isReady() || isRunning())
        return isRunning();
    looptest::ChildProcess::Options options;
    options.outputFile = m_folder.filePath(QStringLiteral("prosody.out"));
    return m_process.start(QStringLiteral("prosody"), {QStringLiteral("--config"), m_configFile, QStringLiteral("-F")},
                           options) &&
           waitUntilListening(15000);
}

bool ProsodyServer::waitUntilListening(int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs && isRunning(); waited += 20) {
        if (acceptsConnections(m_port))
            return true;
        QThread::msleep(20);
    }
    return false;
}

void ProsodyServer::stop()
{
    if (!isRunning())
        return;
    m_process.signal(SIGTERM);
    if (!m_process.waitForFinished(10000))
        kill();
}

void ProsodyServer::kill()
{
    if (!m_process.isRunning())
        return;
    m_process.signal(SIGKILL);
    m_process.waitForFinished(-1);
}

bool ProsodyServer::restart()
{
    stop();
    return start();
}

bool ProsodyServer::createAccount(const QString &user, const QString &password)
{
    return looptest::ChildProcess::run(QStringLiteral("prosodyctl"),
                                       {QStringLiteral("--config"), m_configFile, QStringLiteral("register"), user,
                                        QStringLiteral("localhost"), password}) == 0;
}

QString ProsodyServer::logText() const
{
    QFile log(m_folder.filePath(QStringLiteral("prosody.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.read(256 * 1024));
}
