// The Outlook-to-Google half of the contacts conduit: Outlook's changed contacts become inserts,
// updates and deletions of Google contacts, after the contact groups their categories need.
//
// What makes a killed or cut batch safe: the contact map's Outlook date moves only at the end of the
// batch, and the contacts whose writes (photos and groups too) Google did not take are listed beside
// the map first, to go again (+UnansweredWrites); an answered insert's pair is kept at once, then
// Google's id and "updated" beside the map, so the next listing passes over our own write; an insert
// whose answer never came is found by the next listing and paired with its Outlook contact by the
// data source's duplicate test.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleContactEntry.h"
#include "google/GoogleHosts.h"
#include "google/GoogleWrittenEntries.h"
#include "google/XMLDictionaryParser.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"

#include <QUrl>
#include <QXmlStreamReader>

#include <array>
#include <memory>
#include <optional>
#include <utility>

namespace {


std::shared_ptr<HMSyncProgressReporting> sheet()
{
    return GlobalVariables::getCurrentSyncProgressController();
}

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The text after the last "/" of a Google id, percent-encoded for a path: an id is never trusted to
// stay inside its path segment.
QString shortIdForPath(const QString &googleId)
{
    const QString shortId = googleId.section(u'/', -1);
    return QString::fromLatin1(QUrl::toPercentEncoding(shortId));
}

// The texts of the root's children "id", "atom:id", "updated" and "atom:updated" (in that order),
// each null until read. A few named slots rather than a hash: a hash's first entry costs a block of
// storage, and an answer comes for every contact written.
using RootTexts = std::array<QString, 4>;

int rootTextSlot(QStringView name)
{
    static const QLatin1String names[] = {QLatin1String("id"), QLatin1String("atom:id"), QLatin1String("updated"),
                                          QLatin1String("atom:updated")};
    for (int slot = 0; slot < 4; ++slot) {
        if (name == names[slot])
            return slot;
    }
    return -1;
}

// The texts of the root's children "id", "updated", "atom:id" and "atom:updated", trimmed; nothing
// when the reply is not well-formed, has a document type, or repeats one of them or puts elements in
// it. The reading stops at the first "id" and "updated" both read: they come first in Google's
// entries, and the rest of a written entry (its fields echoed back) is not needed.
std::optional<RootTexts> rootChildTexts(QXmlStreamReader &reader)
{
    RootTexts texts;
    int depth = 0; // of the element just started: 1 for the root
    while (!reader.atEnd() && (texts[0].isNull() || texts[2].isNull())) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::EntityReference)
            return std::nullopt;
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token != QXmlStreamReader::StartElement || ++depth != 2)
            continue;
        const int slot = rootTextSlot(reader.qualifiedName());
        if (slot < 0)
            continue;
        // Reads on to the element's end, which the loop does not see. An empty text is kept as
        // empty, not null: it was read.
        QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement).trimmed();
        --depth;
        if (reader.hasError() || !texts[slot].isNull())
            return std::nullopt;
        texts[slot] = text.isNull() ? QStringLiteral("") : std::move(text);
    }
    if (reader.hasError())
        return std::nullopt;
    return texts;
}

// One reader a thread, set up once: building a reader costs more than reading a short reply. Only a
// reply read without a document type leaves it for the next one (a document type's entities would
// stay declared for the next reply); each reply clears what the one before left unread.
thread_local std::unique_ptr<QXmlStreamReader> t_replyReader;

QXmlStreamReader &replyReader(const QByteArray &body)
{
    if (!t_replyReader)
        t_replyReader = std::make_unique<QXmlStreamReader>();
    t_replyReader->clear();
    t_replyReader->addData(body);
    return *t_replyReader;
}

// The id and "updated" among the root's children texts: the plain ones, else the prefixed ones.
std::optional<std::pair<QString, QString>> idAndUpdatedOfTexts(const RootTexts &texts)
{
    const QString &id = texts[0].isNull() ? texts[1] : texts[0];
    if (id.isEmpty())
        return std::nullopt;
    return std::pair{id, texts[2].isNull() ? texts[3] : texts[2]};
}

// The "id" and "updated" of a plain reply, read in one pass without building its dictionary: the text
// of the root's children "id" and "updated" (or "atom:id" and "atom:updated" when there is no "id"),
// trimmed. Nothing when the reply is anything else (not well-formed, a document type, an id that is
// empty, repeated or holds elements): the whole reading below decides those.
//
// Google's entries open with their id and "updated": the reader first gets the reply only up to its
// first "</updated>", which spares it decoding the fields echoed back after them (the reader makes
// one text of all it is given). A head that does not hold both whole is read again with the rest;
// one that does gives what the whole reply gives, whose reading stops at the same place.
std::optional<std::pair<QString, QString>> idAndUpdatedOfPlainReply(const QByteArray &body)
{
    static constexpr QByteArrayView kUpdatedEnd = "</updated>";
    const qsizetype headEnd = body.indexOf(kUpdatedEnd) + kUpdatedEnd.size();
    if (headEnd > kUpdatedEnd.size() && headEnd < body.size()) {
        const std::optional<RootTexts> head = rootChildTexts(replyReader(body.first(headEnd)));
        if (head && !(*head)[0].isNull() && !(*head)[2].isNull())
            return idAndUpdatedOfTexts(*head);
    }
    const std::optional<RootTexts> read = rootChildTexts(replyReader(body));
    if (!read) {
        t_replyReader.reset();
        return std::nullopt;
    }
    return idAndUpdatedOfTexts(*read);
}

// The "id" and "updated" of a written entry: the reply read as XML (with or without the atom prefix),
// else the text between the first tags.
std::pair<QString, QString> idAndUpdatedOfReply(const QByteArray &body)
{
    if (std::optional<std::pair<QString, QString>> plain = idAndUpdatedOfPlainReply(body))
        return *std::move(plain);
    const auto text = [](const QVariant &value) {
        return value.typeId() == QMetaType::QVariantMap ? value.toMap().value(QStringLiteral("__text")).toString()
                                                        : value.toString();
    };
    if (const std::optional<QVariantMap> reply = xmldictionary::dictionaryWithXMLData(body)) {
        const QVariant id = reply->contains(QStringLiteral("id")) ? reply->value(QStringLiteral("id"))
                                                                  : reply->value(QStringLiteral("atom:id"));
        const QVariant updated = reply->contains(QStringLiteral("updated")) ? reply->value(QStringLiteral("updated"))
                                                                            : reply->value(QStringLiteral("atom:updated"));
        if (!text(id).isEmpty())
            return {text(id), text(updated)};
    }
    const QString reply = QString::fromUtf8(body);
    return {HMGoogleSyncDriver::getSubstringFromXML(reply, QStringLiteral("id")),
            HMGoogleSyncDriver::getSubstringFromXML(reply, QStringLiteral("updated"))};
}

} // namespace

void HMGoogleSyncDriver::listOutlookContacts()
{
    if (stopsForCancel())
        return;
    if (!showsOutlookReading(m_contactData != nullptr, QStringLiteral("contacts"), 0.35))
        return;
    if (readsGoogleContactsFirst()) {
        // The listing before this stage paired whatever an earlier run sent and never heard back of.
        if (!forgetInsertsLeftBySendOnlyRun(*m_contactData, HMOutlookDatFileHelper::Conduit::Contacts))
            DDLogError(QStringLiteral("The list of contacts sent to Google as new could not be emptied"));
        readOutlookContactsToSend();
        return;
    }
    m_listsGroupsBeforeSending = true;
    listContactGroups();
}

void HMGoogleSyncDriver::readOutlookContactsToSend()
{
    // The listing before this stage has read past every answer kept by the last sync.
    if (!writtenEntries().clear())
        DDLogError(QStringLiteral("The list of contacts written to Google could not be emptied"));
    GlobalVariables::setOutlookContactIdsWithPhotosToSendToGoogle({});
    const bool rereads = m_profile && m_profile->rereadAppleOnNextSync();
    const QDateTime since = rereads ? QDateTime() : m_contactData->getOutlookLastModifiedDate();
    const std::optional<QList<HMSyncRecord>> records =
        m_contactData->syncOutlookRecordObjectsModifiedAfter(since, true, idsToExclude());
    if (!records) {
        cancelSyncWithError(QStringLiteral("Outlook's contacts could not be read; nothing was sent to Google."));
        return;
    }
    DDLogInfo(QStringLiteral("outlookContacts.count %1").arg(records->size()));
    updateGoogleContactsWithSyncRecordList(*records);
}

bool HMGoogleSyncDriver::updateGoogleContactsWithSyncRecordList(const QList<HMSyncRecord> &records)
{
    if (!startsBatch(Conduit::Contacts))
        return false;
    if (records.isEmpty()) {
        DDLogInfo(QStringLiteral("Not sending device updates due to no changes since last sync"));
        return finishEmptyBatch(*m_contactData, Conduit::Contacts);
    }
    makeContactsClient();
    DDLogInfo(QStringLiteral("Found %1 Outlook changes to send").arg(records.size()));
    // Every record goes in this batch: a window left for a later call that never comes would be
    // passed over by the date the batch moves.
    const qint64 first = 0;
    const qint64 count = records.size();
    const auto current = sheet();
    double progress = 0.35;
    const double step = (0.5 - progress) / double(count);
    for (qint64 index = first; index < count; ++index) {
        const HMSyncRecord &record = records.at(index);
        progress += step;
        if (current && !m_shouldCancel->load() && index % 50 == 0)
            current->setUserMessageDirectly(QStringLiteral("Loading Outlook contacts"), progress);
        fileContactWrite(record);
    }
    DDLogInfo(QStringLiteral("%1 inserts, %2 updates").arg(m_contactInserts.size()).arg(m_contactUpdates.size()));
    if (!readsGoogleContactsFirst() &&
        !keepInsertsAboutToBeSent(*m_contactData, HMOutlookDatFileHelper::Conduit::Contacts, records)) {
        cancelSyncWithError(QStringLiteral("The contacts about to be sent to Google as new could not be listed on disk; "
                                           "nothing was sent to Google."));
        return false;
    }
    createNewGroupsAsNeeded();
    return true;
}

// New and not deleted: an insert; deleted: a deletion (when Outlook's deletions go to Google); else an
// update of the Google contact the record names. The record's fields are shared with the batch, not
// copied: the ids go beside them, which is where every later step reads them.
void HMGoogleSyncDriver::fileContactWrite(const HMSyncRecord &record)
{
    ContactWrite write;
    write.record = record.dictionary();
    write.outlookId = record.outlookUid();
    write.hmxUid = record.hmxUid();
    if (record.isDelete()) {
        write.kind = ContactWrite::Kind::Delete;
        if (m_allowDeletesFromOutlook)
            m_contactDeletes << write;
    } else if (record.isNew()) {
        m_contactInserts << write;
    } else {
        write.kind = ContactWrite::Kind::Update;
        m_contactUpdates << write;
    }
}

// ---- Groups --------------------------------------------------------------------------------------

void HMGoogleSyncDriver::createNewGroupsAsNeeded()
{
    m_groupsToCreate.clear();
    const QList<QString> known = groupNamesAndIds().values();
    for (const QList<ContactWrite> *writes : {&m_contactInserts, &m_contactUpdates}) {
        for (const ContactWrite &write : *writes) {
            for (const QVariant &category : write.record.value(QStringLiteral("NSARRAYCATEGORIES")).toList()) {
                const QString name = category.toString();
                if (name.isEmpty() || known.contains(name) || m_groupsToCreate.contains(name))
                    continue;
                DDLogVerbose(QStringLiteral("createNewGroup: %1").arg(name));
                m_groupsToCreate << name;
            }
        }
    }
    if (m_groupsToCreate.isEmpty())
        sendContactUpdates();
    else
        createNewGroup(m_groupsToCreate.first());
}

void HMGoogleSyncDriver::createNewGroup(const QString &name)
{
    if (stopsForCancel())
        return;
    makeContactsClient();
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        QStringLiteral("m8/feeds/groups/default/full"), 1,
        [weak, name](int status, const QByteArray &body) {
            const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock();
            if (!driver)
                return;
            if (isSuccess(status)) {
                if (const std::optional<QVariantMap> reply = xmldictionary::dictionaryWithXMLData(body))
                    driver->parseAddNewGroupResponse(*reply);
            } else {
                DDLogError(QStringLiteral("New groups response ERROR: HTTP %1").arg(status));
                driver->noteGroupNotMade(name);
            }
            driver->continueAddingGroups();
        },
        [weak, name](const QString &description) {
            DDLogError(QStringLiteral("New groups response ERROR: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock()) {
                driver->noteGroupNotMade(name);
                driver->continueAddingGroups();
            }
        });
    request->setParams(platform::RKRequestSerialization::serializationWithData(
        googlecontactentry::groupEntry(name).toUtf8(), QStringLiteral("application/atom+xml")));
    request->setMaxResponseBytes(googlehosts::kMaxWriteReplyBytes);
    request->send();
}

void HMGoogleSyncDriver::parseAddNewGroupResponse(const QVariantMap &reply)
{
    const auto text = [](const QVariant &value) {
        return value.typeId() == QMetaType::QVariantMap ? value.toMap().value(QStringLiteral("__text")).toString()
                                                        : value.toString();
    };
    const QString id = text(reply.value(QStringLiteral("id"), reply.value(QStringLiteral("atom:id"))));
    const QString title = text(reply.value(QStringLiteral("title"), reply.value(QStringLiteral("atom:title"))));
    if (id.isEmpty() || title.isEmpty())
        return;
    const std::lock_guard lock(m_mutex);
    m_groupNamesAndIds.insert(id, title);
}

void HMGoogleSyncDriver::continueAddingGroups()
{
    if (!m_groupsToCreate.isEmpty())
        m_groupsToCreate.removeFirst();
    if (!m_groupsToCreate.isEmpty())
        createNewGroup(m_groupsToCreate.first());
    else
        sendContactUpdates();
}

// ---- Contacts ------------------------------------------------------------------------------------

// One request, then the status text, then 0.01 s later the next request: the client sends them one
// at a time in that order.
void HMGoogleSyncDriver::sendContactUpdates()
{
    if (stopsForCancel())
        return;
    if (m_writeStatusBeforeSendingNextUpdate) {
        writeSendContactUpdateStatusMessage();
        return;
    }
    QList<ContactWrite> *pending = !m_contactInserts.isEmpty()   ? &m_contactInserts
                                   : !m_contactUpdates.isEmpty() ? &m_contactUpdates
                                   : !m_contactDeletes.isEmpty() ? &m_contactDeletes
                                                                 : nullptr;
    if (pending == nullptr) {
        checkForEndContactUpdates();
        return;
    }
    m_writeStatusBeforeSendingNextUpdate = true;
    ++m_contactInsertCounter;
    ++m_responseCounter;
    sendContactWrite(pending->takeFirst());
    sendContactUpdates();
}

void HMGoogleSyncDriver::writeSendContactUpdateStatusMessage()
{
    m_writeStatusBeforeSendingNextUpdate = false;
    if (const auto current = sheet(); current && m_contactInsertCounter > 0)
        current->setUserMessageDirectly(QStringLiteral("Sending contacts to Google %1").arg(m_contactInsertCounter));
    {
        const std::lock_guard lock(m_contactAnswersMutex);
        m_contactAnswersAwaited = true;
    }
    // The answers that landed meanwhile go first: the next write is sent knowing them, as it would
    // be had each answer been taken as it came.
    after(0.01, [](HMGoogleSyncDriver &driver) {
        driver.takeContactWriteAnswers();
        driver.sendContactUpdates();
    });
}

// Network thread. Wakes the run's queue only when no step there is due to take the answer.
void HMGoogleSyncDriver::landContactWriteAnswer(ContactWriteAnswer answer)
{
    bool wake = false;
    {
        const std::lock_guard lock(m_contactAnswersMutex);
        m_contactAnswers.append(std::move(answer));
        wake = !std::exchange(m_contactAnswersAwaited, true);
    }
    if (wake)
        onQueue([](HMGoogleSyncDriver &driver) { driver.takeContactWriteAnswers(); });
}

void HMGoogleSyncDriver::takeContactWriteAnswers()
{
    QList<ContactWriteAnswer> answers;
    {
        const std::lock_guard lock(m_contactAnswersMutex);
        m_contactAnswersAwaited = false;
        answers.swap(m_contactAnswers);
    }
    for (const ContactWriteAnswer &answer : std::as_const(answers)) {
        if (answer.failure)
            contactWriteFailed(answer.write, *answer.failure);
        else
            contactWriteReturned(answer.write, answer.status, answer.body);
    }
}

void HMGoogleSyncDriver::sendContactWrite(const ContactWrite &write)
{
    const std::shared_ptr<platform::RKClient> client = currentClient();
    client->setValueForHTTPHeaderField("application/atom+xml", "Content-Type");
    const bool isInsert = write.kind == ContactWrite::Kind::Insert;
    const QString path = isInsert ? QStringLiteral("m8/feeds/contacts/default/full")
                                  : QStringLiteral("m8/feeds/contacts/default/full/%1").arg(shortIdForPath(write.hmxUid));
    const int method = isInsert ? 1 : write.kind == ContactWrite::Kind::Update ? 2 : 3;
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const std::shared_ptr<platform::RKRequest> request = newRequest(path, method);
    request->setOnDidLoadResponse([weak, write](const platform::RKResponse &response) {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
            driver->landContactWriteAnswer({write, response.statusCode(), response.body(), std::nullopt});
    });
    request->setOnDidFailLoadWithError([weak, write](const platform::PlatformError &error) {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
            driver->landContactWriteAnswer({write, 0, {}, error.localizedDescription()});
    });
    if (!isInsert)
        request->setValueForHTTPHeaderField("*", "If-Match");
    if (write.kind != ContactWrite::Kind::Delete)
        request->setParams(platform::RKRequestSerialization::serializationWithData(
            googlecontactentry::contactEntry(write.record, groupNamesAndIds(), m_userEmail),
            QStringLiteral("application/atom+xml")));
    request->setMaxResponseBytes(googlehosts::kMaxWriteReplyBytes);
    request->send();
}

void HMGoogleSyncDriver::contactWriteFailed(const ContactWrite &write, const QString &description)
{
    DDLogError(QStringLiteral("%1: %2")
                   .arg(write.kind == ContactWrite::Kind::Insert ? QStringLiteral("ERROR[A]") : QStringLiteral("ERROR"),
                        description));
    noteWriteNotTaken(Conduit::Contacts, write.outlookId, write.hmxUid);
    --m_responseCounter;
}

// The pair first, then Google's answer beside the map: a kill between the two leaves a pair whose
// entry comes back as a change of a mapped contact, never an unpaired copy.
void HMGoogleSyncDriver::contactWriteReturned(const ContactWrite &write, int status, const QByteArray &body)
{
    --m_responseCounter;
    const bool isDelete = write.kind == ContactWrite::Kind::Delete;
    if (isDelete) {
        DDLogVerbose(QStringLiteral("response.statusCode[D] %1").arg(status));
        if (!isSuccess(status) && status != 404 && status != 410)
            noteWriteNotTaken(Conduit::Contacts, write.outlookId, write.hmxUid);
        return;
    }
    DDLogVerbose(QStringLiteral("%1 %2")
                     .arg(write.kind == ContactWrite::Kind::Insert ? QStringLiteral("response.statusCode[A]")
                                                                   : QStringLiteral("respnse.statusCode[U]"))
                     .arg(status));
    if (!isSuccess(status)) {
        noteWriteNotTaken(Conduit::Contacts, write.outlookId, write.hmxUid);
        if (write.kind == ContactWrite::Kind::Update)
            forgetsPairGoneFromGoogle(*m_contactData, write.hmxUid, status);
        return;
    }
    auto [googleId, updated] = idAndUpdatedOfReply(body);
    if (write.kind == ContactWrite::Kind::Insert) {
        if (googleId.isEmpty()) {
            noteWriteNotTaken(Conduit::Contacts, write.outlookId, write.hmxUid);
            return;
        }
        m_contactData->replaceTempId(write.hmxUid, googleId);
        if (!write.outlookId.isEmpty())
            m_googleIdByOutlookId.insert(write.outlookId, googleId);
    } else if (googleId.isEmpty()) {
        googleId = write.hmxUid;
    }
    if (!updated.isEmpty() && !writtenEntries().append(googleId, updated))
        DDLogError(QStringLiteral("Google's answer for contact %1 could not be kept").arg(googleId));
}

// ---- The end of the conduit --------------------------------------------------------------------

void HMGoogleSyncDriver::finishContactConduit()
{
    if (!batchTaken(Conduit::Contacts))
        DDLogError(QStringLiteral("Not every contact change was taken by Google; the rest is sent again at the next sync"));
    commitWrites(*m_contactData, Conduit::Contacts);
    // Every insert answered and its pair in the map: the list of those sent has nothing left to pair.
    if (batchTaken(Conduit::Contacts) && !readsGoogleContactsFirst() && m_contactData->saveFailure().isEmpty() &&
        !forgetSentInserts(*m_contactData, HMOutlookDatFileHelper::Conduit::Contacts))
        DDLogError(QStringLiteral("The list of contacts sent to Google as new could not be emptied"));
    if (m_delegate != nullptr)
        m_delegate->endConduit();
}
