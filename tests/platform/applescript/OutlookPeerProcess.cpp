#include "OutlookPeerProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QUrl>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

OutlookPeerProcess::OutlookPeerProcess(const Options &options)
    : m_root(options.folder.isEmpty() ? m_folder.path() : options.folder)
{
    QDir().mkpath(home());
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), options.timeZone);
    environment.insert(QStringLiteral("HOME"), home());
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(HM_OUTLOOK_PEER_PATH),
                    QStringList{QStringLiteral("--home"), home(), QStringLiteral("--runtime-dir"), runtimeDir()} + options.arguments);
    while (m_process.waitForReadyRead(10000)) {
        if (m_process.readAll().startsWith("READY")) {
            m_ready = true;
            break;
        }
    }
    qputenv("XDG_RUNTIME_DIR", runtimeDir().toUtf8());
}

OutlookPeerProcess::~OutlookPeerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QJsonObject OutlookPeerProcess::control(const QJsonObject &command) const
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(runtimeDir() + QStringLiteral("/apple-events/")
                                              + QString::fromLatin1(QUrl::toPercentEncoding(QStringLiteral("Microsoft Outlook")))
                                              + QStringLiteral(".sock"));
    std::memcpy(address.sun_path, path.constData(), std::min(size_t(path.size()), sizeof(address.sun_path) - 1));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return {};
    }
    const QByteArray payload = QByteArray(1, 'C') + QJsonDocument(command).toJson(QJsonDocument::Compact);
    char header[4];
    qToBigEndian(quint32(payload.size()), header);
    const QByteArray request = QByteArray(header, 4) + payload;
    QByteArray reply;
    if (::write(fd, request.constData(), size_t(request.size())) == request.size()) {
        char buffer[65536];
        for (ssize_t count; (count = ::read(fd, buffer, sizeof(buffer))) > 0;) {
            reply.append(buffer, count);
            if (reply.size() >= 4 && reply.size() >= 4 + qsizetype(qFromBigEndian<quint32>(reply.constData())))
                break;
        }
    }
    ::close(fd);
    return QJsonDocument::fromJson(reply.mid(5)).object();
}

QJsonObject OutlookPeerProcess::seed(const QJsonObject &state) const
{
    return control({{QStringLiteral("op"), QStringLiteral("seed")}, {QStringLiteral("state"), state}});
}

QJsonObject OutlookPeerProcess::dump() const
{
    return control({{QStringLiteral("op"), QStringLiteral("dump")}}).value(QStringLiteral("state")).toObject();
}
