#include "OutlookPeer.h"

#include "OutlookContactWrites.h"
#include "OutlookEventWrites.h"
#include "OutlookNoteScripts.h"
#include "OutlookTaskScripts.h"

#include "OutlookScripts.h"
#include "PeerDescriptor.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QtEndian>

namespace outlookpeer {

namespace {

bool readExactly(int fd, char *into, qsizetype length)
{
    qsizetype received = 0;
    while (received < length) {
        const ssize_t count = ::recv(fd, into + received, size_t(length - received), 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        received += count;
    }
    return true;
}

bool writeAll(int fd, const char *bytes, qsizetype length)
{
    qsizetype sent = 0;
    while (sent < length) {
        const ssize_t count = ::send(fd, bytes + sent, size_t(length - sent), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += count;
    }
    return true;
}

// Waits until the next request (or the end of the connection) can be read. The wait is a poll for
// input, not a blocking read: a thread asleep in recv is also woken each time the client takes in a
// reply (the socket's send space comes back), only to find nothing and sleep again: about one and a
// half wakes per exchange instead of one.
bool awaitRequest(int fd)
{
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Reads one request frame; false at the end of the connection or for a frame past the cap.
bool readFrame(int fd, QByteArray &payload)
{
    char header[4];
    if (!awaitRequest(fd) || !readExactly(fd, header, 4))
        return false;
    const quint32 length = qFromBigEndian<quint32>(header);
    if (length > kMaxFrameBytes)
        return false;
    payload.resize(qsizetype(length));
    return readExactly(fd, payload.data(), payload.size());
}

QJsonObject failure(const QString &message)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), message}};
}

QJsonObject success(QJsonObject fields = {})
{
    fields[QStringLiteral("ok")] = true;
    return fields;
}

} // namespace

QString OutlookPeer::socketPath(const QString &runtimeDir, const QString &reference)
{
    const QString folder = runtimeDir + QStringLiteral("/apple-events");
    const QString named = folder + u'/' + QString::fromLatin1(QUrl::toPercentEncoding(reference)) + QStringLiteral(".sock");
    if (QFile::encodeName(named).size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return named;
    const QByteArray digest = QCryptographicHash::hash(reference.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return folder + QStringLiteral("/ref-") + QString::fromLatin1(digest) + QStringLiteral(".sock");
}

std::unique_ptr<OutlookPeer> OutlookPeer::start(const Options &options, QString *problem)
{
    std::unique_ptr<OutlookPeer> peer(new OutlookPeer(options));
    peer->m_store = OutlookStore::open(options.home, options.version, problem);
    if (!peer->m_store || !peer->listen(problem))
        return nullptr;
    peer->m_acceptThread = std::thread([raw = peer.get()] { raw->acceptLoop(); });
    return peer;
}

OutlookPeer::OutlookPeer(const Options &options) : m_options(options)
{
    if (m_options.versionText.isEmpty())
        m_options.versionText = m_options.version == OutlookStore::Version::Outlook15 ? QStringLiteral("16.78") : QStringLiteral("14.7.7");
    if (m_options.datePattern.isEmpty())
        m_options.datePattern = systemDatePattern();
    m_switches.versionText = m_options.versionText;
}

OutlookPeer::~OutlookPeer()
{
    m_stopping = true;
    if (m_wakePipe[1] >= 0)
        (void)::write(m_wakePipe[1], "x", 1);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        const std::lock_guard lock(m_connectionsMutex);
        for (int fd : m_active)
            ::shutdown(fd, SHUT_RDWR);
        for (int fd : m_pending)
            ::close(fd);
        m_pending.clear();
    }
    m_connectionWaiting.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    for (int fd : m_listeners)
        ::close(fd);
    for (const QString &path : m_socketPaths)
        QFile::remove(path);
    for (int fd : m_wakePipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString OutlookPeer::databasePath() const
{
    return m_store->databasePath();
}

bool OutlookPeer::listen(QString *problem)
{
    const QString folder = m_options.runtimeDir + QStringLiteral("/apple-events");
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    if (::pipe(m_wakePipe) != 0) {
        *problem = QStringLiteral("cannot make a pipe");
        return false;
    }
    for (const QString &reference : m_options.references) {
        const QString path = socketPath(m_options.runtimeDir, reference);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(path);
        std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
        ::unlink(encoded.constData()); // a socket left by a killed peer
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 || ::listen(fd, 64) != 0) {
            *problem = QStringLiteral("cannot listen on %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        m_listeners.push_back(fd);
        m_socketPaths.append(path);
    }
    return true;
}

void OutlookPeer::acceptLoop()
{
    std::vector<pollfd> entries;
    for (int fd : m_listeners)
        entries.push_back({fd, POLLIN, 0});
    entries.push_back({m_wakePipe[0], POLLIN, 0});
    while (!m_stopping) {
        if (::poll(entries.data(), entries.size(), -1) < 0 && errno != EINTR)
            return;
        for (size_t i = 0; i + 1 < entries.size(); ++i) {
            if (!(entries[i].revents & POLLIN))
                continue;
            const int fd = ::accept4(entries[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            const std::lock_guard lock(m_connectionsMutex);
            m_pending.push_back(fd);
            if (m_pending.size() > size_t(m_idleWorkers))
                m_workers.emplace_back([this] { workerLoop(); });
            m_connectionWaiting.notify_one();
        }
    }
}

void OutlookPeer::workerLoop()
{
    std::unique_lock lock(m_connectionsMutex);
    for (;;) {
        ++m_idleWorkers;
        m_connectionWaiting.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        --m_idleWorkers;
        if (m_stopping)
            return;
        const int fd = m_pending.front();
        m_pending.pop_front();
        m_active.insert(fd);
        lock.unlock();
        serve(fd);
        lock.lock();
        // Closed here, under the lock, so that stopping never shuts down a number already reused.
        m_active.erase(fd);
        ::close(fd);
    }
}

void OutlookPeer::serve(int fd)
{
    QByteArray request;
    while (!m_stopping && readFrame(fd, request)) {
        const bool isScript = !request.isEmpty() && request.at(0) != 'C';
        PeerSwitches switches;
        {
            const std::lock_guard lock(m_mutex);
            if (isScript && m_switches.killMidReplyNth > 0 && --m_switches.killMidReplyNth == 0)
                m_switches.killMidReply = true;
            switches = m_switches;
            m_switches.killMidReply = false;
            m_switches.claimBytes = 0;
        }
        if (isScript && switches.claimBytes > 0) {
            char header[4];
            qToBigEndian(quint32(std::min<qint64>(switches.claimBytes, 0xFFFFFFFF)), header);
            writeAll(fd, header, 4);
            continue;
        }
        const QByteArray reply = handle(request);
        if (reply.isEmpty())
            continue; // stalled: the client gives up and closes
        const QByteArray framed = frame(reply);
        if (isScript && switches.killMidReply) {
            writeAll(fd, framed.constData(), framed.size() / 2);
            ::raise(SIGKILL);
        }
        if (!writeAll(fd, framed.constData(), framed.size()))
            break;
    }
}

QByteArray OutlookPeer::handle(const QByteArray &request)
{
    if (request.isEmpty())
        return errorReply(-2741, QStringLiteral("Empty request."));
    if (request.at(0) == 'C') {
        const QJsonObject command = QJsonDocument::fromJson(request.mid(1)).object();
        return QByteArray(1, 'C') + QJsonDocument(control(command)).toJson(QJsonDocument::Compact);
    }
    return answerScriptRequest(request);
}

OutlookPeer::Answer OutlookPeer::answerRequest(const QByteArray &request)
{
    // Reading scripts are answered from memory until something changes, as Outlook answers from its
    // own memory rather than from its files: the answer costs what changed, not the whole store.
    const bool mayUseCache = request.at(0) == 'S' && !m_switches.lockDatabase;
    if (mayUseCache) {
        const auto cached = m_answers.constFind(request);
        if (cached != m_answers.constEnd())
            return *cached;
    }
    ScriptContext context{*m_store, now(), m_switches.versionText, m_options.datePattern, m_switches.versionTextFor,
                          m_switches.listsOccurrences, m_switches.importGivesNewId};
    context.exchangeAccounts = m_switches.exchangeAccounts;
    context.unreadableAddressBooks = m_switches.unreadableAddressBooks;
    Answer answer;
    ScriptOutcome outcome;
    if (request.at(0) == 'S') {
        outcome = answerScript(QString::fromUtf8(request.mid(1)), context, &answer.kind);
    } else if (request.at(0) == 'E') {
        Descriptor event;
        outcome = decode(request.mid(1), event) ? m_handlerCalls.answer(event, context)
                                                : ScriptOutcome::error(-1701, QStringLiteral("The event could not be read."));
        answer.kind = QStringLiteral("handler");
    } else {
        outcome = ScriptOutcome::error(-2741, QStringLiteral("Unknown request."));
    }
    answer.isError = outcome.errorNumber != 0;
    if (answer.isError)
        answer.reply = errorReply(outcome.errorNumber, outcome.errorMessage);
    else
        answer.reply = outcome.encoded.isEmpty() ? descriptorReply(outcome.result) : QByteArray(1, 'D') + outcome.encoded;
    const bool changesState = answer.kind == u"delete" || answer.kind == u"make category" || answer.kind == u"set image"
        || isContactWriteKind(answer.kind) || isEventWriteKind(answer.kind)
        || isNoteWriteKind(answer.kind) || isTaskWriteKind(answer.kind);
    if (changesState) {
        m_answers.clear();
        m_handlerCalls.forgetAnswers();
    } else if (mayUseCache && !answer.isError && m_answers.size() < kMaxCachedAnswers)
        m_answers.insert(request, answer);
    return answer;
}

QByteArray OutlookPeer::answerScriptRequest(const QByteArray &request)
{
    const std::lock_guard lock(m_mutex);
    ++m_scriptCount;
    if (m_switches.stallNth > 0 && --m_switches.stallNth == 0)
        m_switches.stall = true;
    if (m_switches.stall)
        return QByteArray();
    const bool refusedByCount = m_switches.refuseNth > 0 && m_scriptCount - m_refuseCountBase == m_switches.refuseNth;
    // A contact write that is refused is refused before it changes anything.
    if (request.at(0) == 'S' && (refusedByCount || !m_switches.refuseKind.isEmpty() || !m_switches.refuseContactWrite.isEmpty()
                                 || !m_switches.refuseEventWrite.isEmpty())) {
        const QString script = QString::fromUtf8(request.mid(1));
        // A picture is a contact write too: refused, it is not set.
        const bool isPicture = script.contains(QLatin1String("set the image of contact id"));
        const QString kind = isPicture ? QStringLiteral("set image") : contactWriteKind(script, m_options.datePattern);
        if (!kind.isEmpty() && (refusedByCount || kind == m_switches.refuseKind
                                || contactWriteHolds(script, m_options.datePattern, m_switches.refuseContactWrite)))
            return errorReply(m_switches.refuseNumber, QStringLiteral("Microsoft Outlook got an error: the script was refused."));
        const QString eventKind = eventWriteKind(script, m_options.datePattern);
        if (!eventKind.isEmpty() && (refusedByCount || eventKind == m_switches.refuseKind
                                     || (!m_switches.refuseEventWrite.isEmpty() && script.contains(m_switches.refuseEventWrite))))
            return errorReply(m_switches.refuseNumber, QStringLiteral("Microsoft Outlook got an error: the script was refused."));
        const QString noteKind = noteWriteKind(script).isEmpty() ? taskWriteKind(script) : noteWriteKind(script);
        if (!noteKind.isEmpty() && (refusedByCount || noteKind == m_switches.refuseKind))
            return errorReply(m_switches.refuseNumber, QStringLiteral("Microsoft Outlook got an error: the script was refused."));
    }
    const Answer answer = answerRequest(request);
    if (answer.kind == u"set event properties" || answer.kind == u"create event") {
        const QByteArray script = request.mid(1);
        if (script.contains("recurrence:{") || script.contains("is recurring:"))
            ++m_recurrenceScripts;
    }
    const bool refused = refusedByCount || (!m_switches.refuseKind.isEmpty() && answer.kind == m_switches.refuseKind);
    if (refused && !answer.isError)
        return errorReply(m_switches.refuseNumber, QStringLiteral("Microsoft Outlook got an error: the script was refused."));
    if (m_switches.answerEmpty && !answer.isError)
        return descriptorReply(Descriptor::list());
    return answer.reply;
}

QDateTime OutlookPeer::now() const
{
    return m_fixedNow.isValid() ? m_fixedNow : QDateTime::currentDateTimeUtc();
}

QJsonObject OutlookPeer::control(const QJsonObject &command)
{
    const std::lock_guard lock(m_mutex);
    const QString op = command.value(QStringLiteral("op")).toString();
    if (op != u"dump" && op != u"handlerCalls") {
        m_answers.clear();
        m_handlerCalls.forgetAnswers();
    }
    return applyControl(command);
}

QJsonObject OutlookPeer::applyControl(const QJsonObject &command)
{
    const QString op = command.value(QStringLiteral("op")).toString();
    if (op == u"seed") {
        return m_store->seed(command.value(QStringLiteral("state")).toObject()) ? success() : failure(m_store->lastProblem());
    }
    if (op == u"dump") {
        return success({{QStringLiteral("state"), m_store->dump()}, {QStringLiteral("scripts"), m_scriptCount},
                        {QStringLiteral("recurrenceScripts"), m_recurrenceScripts},
                        {QStringLiteral("database"), m_store->databasePath()}});
    }
    if (op == u"clock") {
        if (command.contains(QStringLiteral("advance")))
            m_fixedNow = now().addSecs(command.value(QStringLiteral("advance")).toInteger());
        else
            m_fixedNow = QDateTime::fromString(command.value(QStringLiteral("now")).toString(), Qt::ISODate).toUTC();
        return success({{QStringLiteral("now"), now().toString(Qt::ISODate)}});
    }
    if (op == u"switches")
        return applySwitches(command);
    if (op == u"handlerCalls")
        return success({{QStringLiteral("calls"), m_handlerCalls.takeLog()}});
    if (op == u"add" || op == u"edit" || op == u"delete" || op == u"reimport")
        return applyRecordEdit(op, command);
    return failure(QStringLiteral("unknown op \"%1\"").arg(op));
}

QJsonObject OutlookPeer::applySwitches(const QJsonObject &command)
{
    PeerSwitches &s = m_switches;
    auto take = [&](const char *key, auto &field) {
        const QJsonValue value = command.value(QLatin1String(key));
        if (value.isUndefined())
            return;
        using Field = std::decay_t<decltype(field)>;
        if constexpr (std::is_same_v<Field, bool>)
            field = value.toBool();
        else if constexpr (std::is_same_v<Field, QString>)
            field = value.toString();
        else
            field = Field(value.toInteger());
    };
    take("refuseNth", s.refuseNth);
    take("refuseKind", s.refuseKind);
    take("refuseNumber", s.refuseNumber);
    take("answerEmpty", s.answerEmpty);
    take("listsOccurrences", s.listsOccurrences);
    take("stall", s.stall);
    take("killMidReply", s.killMidReply);
    take("killMidReplyNth", s.killMidReplyNth);
    take("stallNth", s.stallNth);
    take("claimBytes", s.claimBytes);
    take("versionText", s.versionText);
    if (command.contains(QStringLiteral("versionTextFor"))) {
        s.versionTextFor.clear();
        const QJsonObject texts = command.value(QStringLiteral("versionTextFor")).toObject();
        for (auto text = texts.begin(); text != texts.end(); ++text)
            s.versionTextFor.insert(text.key(), text.value().toString());
    }
    take("reimportNewIds", s.reimportNewIds);
    take("refuseContactWrite", s.refuseContactWrite);
    take("unreadableAddressBooks", s.unreadableAddressBooks);
    if (command.contains(QStringLiteral("exchangeAccounts"))) {
        s.exchangeAccounts = command.value(QStringLiteral("exchangeAccounts")).toArray();
        m_answers.clear();
    }
    take("refuseEventWrite", s.refuseEventWrite);
    take("importGivesNewId", s.importGivesNewId);
    if (command.contains(QStringLiteral("refuseNth")))
        m_refuseCountBase = m_scriptCount;
    if (command.contains(QStringLiteral("lockDatabase"))) {
        s.lockDatabase = command.value(QStringLiteral("lockDatabase")).toBool();
        if (!m_store->setLocked(s.lockDatabase))
            return failure(QStringLiteral("cannot lock the database"));
    }
    return success();
}

QJsonObject OutlookPeer::applyRecordEdit(const QString &op, const QJsonObject &command)
{
    const std::optional<RecordKind> kind = kindFromName(command.value(QStringLiteral("kind")).toString());
    if (!kind)
        return failure(QStringLiteral("unknown kind"));
    const qint64 id = command.value(QStringLiteral("id")).toInteger();
    if (op == u"add") {
        PeerRecord record = recordFromJson(command.value(QStringLiteral("record")).toObject());
        record.created = record.modified = now();
        if (!m_store->addRecord(*kind, record))
            return failure(m_store->lastProblem());
        return success({{QStringLiteral("id"), record.id}});
    }
    std::optional<PeerRecord> record = m_store->record(*kind, id);
    if (!record)
        return failure(QStringLiteral("no %1 with id %2").arg(kindName(*kind)).arg(id));
    if (op == u"delete")
        return m_store->removeRecord(*kind, id) ? success() : failure(m_store->lastProblem());
    // The edit goes through the record's JSON form, so that a folder, start or completion changes too.
    QJsonObject merged = recordToJson(*record);
    const QJsonObject fields = command.value(QStringLiteral("fields")).toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        merged[it.key()] = it.value();
    const QDateTime created = record->created;
    record = recordFromJson(merged);
    record->id = id;
    record->created = created;
    record->modified = now();
    if (op == u"reimport" && m_switches.reimportNewIds) {
        // Importing a record again makes a new one; the old one goes.
        record->created = now();
        if (!m_store->removeRecord(*kind, id) || !m_store->addRecord(*kind, *record))
            return failure(m_store->lastProblem());
        return success({{QStringLiteral("id"), record->id}});
    }
    if (!m_store->updateRecord(*kind, *record))
        return failure(m_store->lastProblem());
    return success({{QStringLiteral("id"), record->id}});
}

} // namespace outlookpeer
