// The simulated Outlook as a program. See README.md.
#include "OutlookPeer.h"

#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QtEndian>

namespace {

QString runtimeDirFrom(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("runtime-dir")))
        return parser.value(QStringLiteral("runtime-dir"));
    return qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath());
}

// Sends one control message to a running peer and prints its answer.
int sendControl(const QString &socketPath, const QByteArray &json)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::memcpy(address.sun_path, path.constData(), std::min(size_t(path.size()), sizeof(address.sun_path) - 1));
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "outlook_peer: no peer listens on %s\n", path.constData());
        return 1;
    }
    const QByteArray payload = QByteArray(1, 'C') + json;
    char header[4];
    qToBigEndian(quint32(payload.size()), header);
    const QByteArray request = QByteArray(header, 4) + payload;
    if (::write(fd, request.constData(), size_t(request.size())) != request.size())
        return 1;
    QByteArray reply;
    char buffer[65536];
    for (ssize_t count; (count = ::read(fd, buffer, sizeof(buffer))) > 0;) {
        reply.append(buffer, count);
        if (reply.size() >= 4 && reply.size() >= 4 + qsizetype(qFromBigEndian<quint32>(reply.constData())))
            break;
    }
    ::close(fd);
    std::printf("%s\n", reply.mid(5).constData());
    return 0;
}

bool seedFromFile(outlookpeer::OutlookPeer &peer, const QString &path)
{
    QFile seed(path);
    const QJsonObject state = seed.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(seed.read(64 << 20)).object() : QJsonObject();
    const QJsonObject answer = peer.control({{QStringLiteral("op"), QStringLiteral("seed")}, {QStringLiteral("state"), state}});
    if (answer.value(QStringLiteral("ok")).toBool())
        return true;
    std::fprintf(stderr, "outlook_peer: seed refused: %s\n", qPrintable(answer.value(QStringLiteral("error")).toString()));
    return false;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("The simulated Outlook: answers scripts over Unix sockets."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("home"), QStringLiteral("The home folder holding the store (default $HOME)."), QStringLiteral("folder")},
        {QStringLiteral("runtime-dir"), QStringLiteral("Where the apple-events socket folder lies (default $XDG_RUNTIME_DIR)."), QStringLiteral("folder")},
        {QStringLiteral("reference"), QStringLiteral("An application reference to answer to (repeatable)."), QStringLiteral("name")},
        {QStringLiteral("outlook-version"), QStringLiteral("14 or 15 (default 15)."), QStringLiteral("n")},
        {QStringLiteral("version-text"), QStringLiteral("What the version script answers."), QStringLiteral("text")},
        {QStringLiteral("date-pattern"), QStringLiteral("The date pattern of date \"...\" values."), QStringLiteral("pattern")},
        {QStringLiteral("seed"), QStringLiteral("A JSON state to start from."), QStringLiteral("file")},
        {QStringLiteral("send"), QStringLiteral("Send this control JSON to a running peer and print the answer."), QStringLiteral("json")},
    });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(application);

    outlookpeer::OutlookPeer::Options options;
    options.home = parser.isSet(QStringLiteral("home")) ? parser.value(QStringLiteral("home")) : QDir::homePath();
    options.runtimeDir = runtimeDirFrom(parser);
    if (parser.isSet(QStringLiteral("reference")))
        options.references = parser.values(QStringLiteral("reference"));
    if (parser.isSet(QStringLiteral("send")))
        return sendControl(outlookpeer::OutlookPeer::socketPath(options.runtimeDir, options.references.first()),
                           parser.value(QStringLiteral("send")).toUtf8());
    if (parser.value(QStringLiteral("outlook-version")) == u"14")
        options.version = outlookpeer::OutlookStore::Version::Outlook14;
    options.versionText = parser.value(QStringLiteral("version-text"));
    options.datePattern = parser.value(QStringLiteral("date-pattern"));

    // The signals that end the peer are taken synchronously below, so block them before threads start.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    QString problem;
    std::unique_ptr<outlookpeer::OutlookPeer> peer = outlookpeer::OutlookPeer::start(options, &problem);
    if (!peer) {
        std::fprintf(stderr, "outlook_peer: %s\n", qPrintable(problem));
        return 1;
    }
    if (parser.isSet(QStringLiteral("seed")) && !seedFromFile(*peer, parser.value(QStringLiteral("seed"))))
        return 1;
    std::printf("READY %s\n", qPrintable(peer->socketPaths().join(u' ')));
    std::fflush(stdout);
    int received = 0;
    sigwait(&endSignals, &received);
    return 0;
}
