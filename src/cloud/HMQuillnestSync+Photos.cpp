// Contact photos, which travel outside the record format: downloads after each listed contacts page
// ("/get_photo.php", written as JPEG files into the data folder's "temp" folder), and uploads after the
// last contacts batch (multipart posts to "update_photo.php", five per pass on a one-second timer).
#include "cloud/HMQuillnestSync.h"
#include "cloud/HMPhotoJpeg.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/LockedField.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKParserRegistry.h"
#include "sync/HMSyncClientDelegate.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>

#include <utility>

using platform::PlatformError;
using platform::RKRequest;
using platform::RKRequestOutcome;
using platform::RKResponse;

namespace {

constexpr double kPhotoDownloadTimeoutSeconds = 15.0;
constexpr double kPhotoUploadTimeoutSeconds = 30.0;
constexpr int kPhotosPerPass = 5;
constexpr qint64 kMaxResendFileBytes = 4 * 1024 * 1024;
constexpr qsizetype kMaxResendEntries = 100000;
constexpr qsizetype kMaxFileIdLength = 200;
constexpr qsizetype kMaxUnsetPhotos = 1000;

void showOnProgressSheet(const QString &message)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(message);
}

} // namespace

QVariantMap HMQuillnestSync::getContactPhotos()
{
    return platform::lockedCopy(m_mutex, m_contactPhotos);
}

void HMQuillnestSync::clearContactPhotos()
{
    const std::lock_guard lock(m_mutex);
    m_contactPhotos.clear();
}

bool HMQuillnestSync::sendPhoto(const QByteArray &photo)
{
    Q_UNUSED(photo);
    DDLogError(QStringLiteral("A photo without its contact cannot go to the cloud"));
    return false;
}

void HMQuillnestSync::setPhotoReader(PhotoReader reader)
{
    platform::lockedAssign(m_mutex, m_photoReader, std::move(reader));
}

QStringList HMQuillnestSync::contactsWithUpdatedPhotosInQuillnest() const
{
    return platform::lockedCopy(m_mutex, m_contactsWithUpdatedPhotos);
}

void HMQuillnestSync::setContactsWithUpdatedPhotosInQuillnest(const QStringList &ids)
{
    platform::lockedAssign(m_mutex, m_contactsWithUpdatedPhotos, ids);
}

bool HMQuillnestSync::isSafeFileId(const QString &id)
{
    return !id.isEmpty() && id.size() <= kMaxFileIdLength && !id.contains(u'/') && !id.contains(u'\\') &&
           !id.contains(QChar(0)) && id != QLatin1String(".") && id != QLatin1String("..");
}

QString HMQuillnestSync::photoFolderPath()
{
    return QDir(HMOutlookDatFileHelper::dataFolderPath()).filePath(QStringLiteral("temp"));
}

// Downloads ---------------------------------------------------------------------------------------------

std::optional<qsizetype> HMQuillnestSync::getContactPhotosForUniqueIds(bool withUnset)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return 0;
    // The last page's pictures were set (or their files kept) before this page was asked for.
    clearContactPhotos();
    const QStringList ids = contactsWithUpdatedPhotosInQuillnest();
    const QString folder = photoFolderPath();
    const QStringList unset = withUnset && GlobalVariables::getShouldSyncContactPhotos() && QFileInfo(folder).isDir()
                                  ? unsetPhotoIds(folder, ids)
                                  : QStringList();
    if (!GlobalVariables::getShouldSyncContactPhotos() || (ids.isEmpty() && unset.isEmpty())) {
        target->picturesDictionaryUpdated();
        return 0;
    }
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        DDLogError(QStringLiteral("Cannot make the photo folder %1").arg(folder));
    qsizetype notHandedOver = 0;
    for (const QStringList *list : {&ids, &unset}) {
        for (const QString &id : *list) {
            const std::optional<PhotoFetch> fetched = fetchPhotoShowingProgress(*target, id, folder);
            if (!fetched)
                return std::nullopt;
            // A picture asked for again that does not come stays asked for; its file stays.
            if (*fetched == PhotoFetch::NotHandedOver && list == &ids)
                ++notHandedOver;
            if (*fetched == PhotoFetch::Skipped && list == &unset)
                QFile::remove(QDir(folder).filePath(id + QStringLiteral(".jpeg")));
        }
    }
    // Told whatever came: a page whose downloads all failed must not leave the run waiting.
    target->picturesDictionaryUpdated();
    return notHandedOver;
}

std::optional<HMQuillnestSync::PhotoFetch> HMQuillnestSync::fetchPhotoShowingProgress(HMSyncClientDelegate &target,
                                                                                      const QString &id,
                                                                                      const QString &folder)
{
    target.setReceivingPhotosStatus(true);
    target.postStepNotificationWithMessage(QStringLiteral("Reading Contact Photos"), 0.0);
    DDLogVerbose(QStringLiteral("Sending photos request"));
    const PhotoFetch fetched = fetchOnePhoto(id, folder);
    target.setReceivingPhotosStatus(false);
    return fetched == PhotoFetch::Cancelled ? std::nullopt : std::optional(fetched);
}

QStringList HMQuillnestSync::unsetPhotoIds(const QString &folder, const QStringList &listed)
{
    const QSet<QString> isListed(listed.cbegin(), listed.cend());
    QStringList ids;
    const QFileInfoList files = QDir(folder).entryInfoList({QStringLiteral("*.jpeg")}, QDir::Files | QDir::NoSymLinks,
                                                           QDir::Name);
    for (const QFileInfo &file : files) {
        const QString id = file.completeBaseName();
        if (ids.size() >= kMaxUnsetPhotos)
            break;
        if (isSafeFileId(id) && !isListed.contains(id) && !file.isSymLink())
            ids.append(id);
    }
    if (!ids.isEmpty())
        DDLogInfo(QStringLiteral("Asking again for %1 contact photos Outlook did not take").arg(ids.size()));
    return ids;
}

// One download. A picture the cloud did not hand over (no answer, or an answer in error) stores
// nothing and is counted by the caller, which ends the listing in error: the contacts' listing date
// must not move past a picture that never came, or no later sync would ask for it again. A picture
// that came but cannot be read is skipped for good: asking again would bring the same bytes.
HMQuillnestSync::PhotoFetch HMQuillnestSync::fetchOnePhoto(const QString &id, const QString &folder)
{
    const QString session = sessionIdentifier();
    const QVariantMap body{{QStringLiteral("Session"), session.isEmpty() ? QStringLiteral("0") : session},
                           {QStringLiteral("Id"), id}};
    const RKRequestOutcome outcome =
        sendAndWait(QStringLiteral("/get_photo.php"), kPhotoDownloadTimeoutSeconds,
                    jsonStringFromDictionary(body).toUtf8(), QString::fromLatin1(platform::RKMIMETypeJSON),
                    kMaxPhotoBytes);
    if (outcome.kind() == RKRequestOutcome::Kind::Cancelled)
        return PhotoFetch::Cancelled;
    if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
        DDLogError(QStringLiteral("Failed to retrieve contact photo from the cloud"));
        return PhotoFetch::NotHandedOver;
    }
    const QString path = QDir(folder).filePath(id + QStringLiteral(".jpeg"));
    QString problem;
    if (!writePhotoAsJpeg(outcome.response().body(), path, problem)) {
        DDLogError(QStringLiteral("Skipping the photo of '%1': %2").arg(id, problem));
        return PhotoFetch::Skipped;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_contactPhotos.insert(id, path);
    }
    DDLogVerbose(QStringLiteral("Adding contact photo to dictionary %1, %2").arg(id, path));
    return PhotoFetch::Stored;
}

// The picture's size is read from its header before any pixel is decoded, so a crafted header cannot
// make the decoder allocate without bound. The file replaces whatever stood at the path (a link
// included) and only its owner may read it.
bool HMQuillnestSync::writePhotoAsJpeg(const QByteArray &bytes, const QString &path, QString &problem)
{
    const std::optional<QByteArray> jpeg = HMPhotoJpeg::fromPicture(bytes, kMaxPhotoPixels, problem);
    if (!jpeg)
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        problem = file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(*jpeg) != jpeg->size() || !file.commit()) {
        problem = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

// Uploads -----------------------------------------------------------------------------------------------

QByteArray HMQuillnestSync::photoUploadBody(const QString &session, const QString &contactId, const QByteArray &photo)
{
    const QByteArray delimiter = QByteArray("--") + kPhotoBoundary + "\r\n";
    QByteArray body = delimiter;
    body += "Content-Disposition: form-data; name=\"json\"\r\n\r\n";
    body += QStringLiteral("{\"Session\":\"%1\", \"Id\":\"%2\"}").arg(session, contactId).toUtf8();
    body += "\r\n" + delimiter;
    body += "Content-Disposition: form-data; name=\"photo\"; filename=\"picture\"\r\n";
    body += "Content-Type: image/jpeg\r\n\r\n";
    body += photo;
    body += QByteArray("\r\n--") + kPhotoBoundary + "--";
    return body;
}

// An upload is taken when answered HTTP 2xx with no JSON "Result" other than 0.
bool HMQuillnestSync::photoUploadWasTaken(const RKResponse &response)
{
    if (!response.isSuccessful())
        return false;
    const QJsonObject reply = QJsonDocument::fromJson(response.body()).object();
    return reply.value(QStringLiteral("Result")).toInt(0) == 0;
}

void HMQuillnestSync::sendContactPhotos()
{
    if (!GlobalVariables::getShouldSyncContactPhotos()) {
        endPhotoStage();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_sendContactPhotosCalled)
            return;
        m_sendContactPhotosCalled = true;
        m_contactIdsWithPhotos = GlobalVariables::getContactIdsWithPhotos();
        m_totalNumberOfPhotosToSend = m_contactIdsWithPhotos.size();
        m_numberOfPhotosSent = 0;
        m_numberOfPhotoResponsesReceived = 0;
        m_failedPhotoUploads.clear();
        // Photos the cloud did not take in an earlier run go again, once their contacts' turn comes.
        // One more try each: a photo refused again is logged and given up, so that one contact the cloud
        // keeps refusing cannot fail every later sync.
        m_photosSentAgain = loadFailedPhotoUploads();
        for (auto it = m_photosSentAgain.constBegin(); it != m_photosSentAgain.constEnd(); ++it)
            m_contactIdsWithPhotos.insert(it.key(), it.value());
    }
    showOnProgressSheet(QStringLiteral("Sending contact photos..."));
    sendMoreContactPhotos();
    startPhotoSyncTimer();
}

// Every contact looked at leaves the list, sent or not: one whose picture cannot be read would
// otherwise be looked at on every pass and the stage would never end.
void HMQuillnestSync::sendMoreContactPhotos()
{
    QVariantMap entries;
    PhotoReader reader;
    {
        const std::lock_guard lock(m_mutex);
        entries = m_contactIdsWithPhotos;
        reader = m_photoReader;
    }
    QStringList looked;
    for (auto it = entries.constBegin(); it != entries.constEnd() && looked.size() < kPhotosPerPass; ++it) {
        looked << it.key();
        DDLogVerbose(QStringLiteral("Sending photo for contact ID %1").arg(it.key()));
        const QByteArray photo = reader ? reader(it.value().toString()) : QByteArray();
        if (photo.isEmpty()) {
            DDLogWarn(QStringLiteral("No picture could be read for contact %1; it is not sent").arg(it.key()));
            continue;
        }
        qint64 sent = 0;
        qint64 total = 0;
        {
            const std::lock_guard lock(m_mutex);
            sent = ++m_numberOfPhotosSent;
            total = m_totalNumberOfPhotosToSend;
        }
        sendPhotoForContactId(photo, it.key(), it.value().toString());
        showOnProgressSheet(QStringLiteral("Sending contact photos %1/%2").arg(sent).arg(total));
    }
    const std::lock_guard lock(m_mutex);
    for (const QString &contactId : std::as_const(looked))
        m_contactIdsWithPhotos.remove(contactId);
}

bool HMQuillnestSync::sendPhotoForContactId(const QByteArray &photo, const QString &contactId, const QString &outlookId)
{
    const std::shared_ptr<platform::RKClient> client = clientUnlessGoing();
    const auto answered = m_callbacks.wrap([this, contactId, outlookId](bool failed) {
        const std::lock_guard lock(m_mutex);
        ++m_numberOfPhotoResponsesReceived;
        if (failed)
            m_failedPhotoUploads.insert(contactId, outlookId);
    });
    if (!client) {
        answered(true);
        return false;
    }
    std::shared_ptr<RKRequest> request =
        newPost(*client, QStringLiteral("/update_photo.php"), kPhotoUploadTimeoutSeconds, kMaxReplyBytes);
    DDLogVerbose(QStringLiteral("urlString %1").arg(request->URLString()));
    request->setHTTPBody(photoUploadBody(sessionIdentifier(), contactId, photo),
                         QStringLiteral("multipart/form-data; boundary=") + QLatin1String(kPhotoBoundary));
    request->setOnDidLoadResponse([answered, contactId](const RKResponse &response) {
        const bool taken = photoUploadWasTaken(response);
        if (!taken)
            DDLogError(QStringLiteral("The cloud did not take the photo of contact %1 (HTTP %2)")
                           .arg(contactId)
                           .arg(response.statusCode()));
        answered(!taken);
    });
    request->setOnDidFailLoadWithError([answered](const PlatformError &error) {
        DDLogError(QStringLiteral("something very bad happened here: %1").arg(error.localizedDescription()));
        answered(true);
    });
    if (!keepUnlessGoing(request, false)) {
        answered(true);
        return false;
    }
    request->send();
    return true;
}

void HMQuillnestSync::isSendingPhotos()
{
    qint64 sent = 0;
    qint64 responses = 0;
    bool isEmpty = false;
    {
        const std::lock_guard lock(m_mutex);
        sent = m_numberOfPhotosSent;
        responses = m_numberOfPhotoResponsesReceived;
        isEmpty = m_contactIdsWithPhotos.isEmpty();
    }
    DDLogVerbose(QStringLiteral("numberOfPhotosSent %1").arg(sent));
    DDLogVerbose(QStringLiteral("numberOfPhotoResponsesReceived %1").arg(responses));
    if (responses < sent)
        return;
    if (isEmpty)
        endPhotoStage();
    else
        sendMoreContactPhotos();
}

// A photo the cloud did not take counts as a refused contact: the run ends in error, so that the
// contacts' last-sync date stays and the contact (with its photo) goes again at the next sync.
void HMQuillnestSync::endPhotoStage()
{
    GlobalVariables::setContactIdsWithPhotos({});
    qsizetype failed = 0;
    {
        const std::lock_guard lock(m_mutex);
        m_contactIdsWithPhotos.clear();
        m_sendContactPhotosCalled = false;
        failed = m_failedPhotoUploads.size();
    }
    saveFailedPhotoUploads();
    stopRPhotoSyncTimer();
    // The conduit's end before the stage's: the update loop wakes on the stage's end and must find the
    // conduit done, or it would ask for one more batch.
    if (HMSyncClientDelegate *target = reportTo()) {
        if (failed > 0) {
            target->didErrorWithError(
                6, QStringLiteral("The cloud did not take the photos of %1 contacts; they go again at the next sync.")
                       .arg(failed));
            target->commandErroredStopProcessing();
        }
        target->writeRemainOnUpdateConduit(false);
        target->writeUpdatePhotosStage(false);
    }
}

void HMQuillnestSync::startPhotoSyncTimer()
{
    auto tick = m_callbacks.wrap([this] { isSendingPhotos(); });
    installTimer(&HMQuillnestSync::m_photoSyncTimer,
                 platform::RunLoopTimer::scheduled(1.0, platform::RunLoopTimer::Repeats::Yes,
                                                   [tick](platform::RunLoopTimer &) { tick(); }));
}

void HMQuillnestSync::stopRPhotoSyncTimer()
{
    installTimer(&HMQuillnestSync::m_photoSyncTimer, nullptr);
}

// The photos the cloud did not take are kept in the data folder for the next sync, named by the
// cloud account: "cloud-photos-to-resend.json", {"Username": ..., "Contacts": {device id: Outlook id}}.
QString HMQuillnestSync::failedPhotoUploadsPath()
{
    return QDir(HMOutlookDatFileHelper::dataFolderPath()).filePath(QStringLiteral("cloud-photos-to-resend.json"));
}

QVariantMap HMQuillnestSync::loadFailedPhotoUploads() const
{
    QFile file(failedPhotoUploadsPath());
    const QFileInfo info(file.fileName());
    if (!info.exists() || info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject saved = QJsonDocument::fromJson(file.read(kMaxResendFileBytes)).object();
    if (saved.value(QStringLiteral("Username")).toString() != m_username)
        return {};
    QVariantMap pairs;
    const QJsonObject contacts = saved.value(QStringLiteral("Contacts")).toObject();
    for (auto it = contacts.constBegin(); it != contacts.constEnd() && pairs.size() < kMaxResendEntries; ++it) {
        if (it.value().isString())
            pairs.insert(it.key(), it.value().toString());
    }
    return pairs;
}

// Called with the mutex free; an empty list removes the file.
void HMQuillnestSync::saveFailedPhotoUploads()
{
    QJsonObject contacts;
    QString username;
    {
        const std::lock_guard lock(m_mutex);
        for (auto it = m_failedPhotoUploads.constBegin(); it != m_failedPhotoUploads.constEnd(); ++it) {
            if (m_photosSentAgain.contains(it.key()))
                DDLogError(QStringLiteral("The cloud refused the photo of contact %1 twice; it is not sent again")
                               .arg(it.key()));
            else
                contacts.insert(it.key(), it.value().toString());
        }
        m_photosSentAgain.clear();
        m_failedPhotoUploads.clear();
        username = m_username;
    }
    const QString path = failedPhotoUploadsPath();
    if (contacts.isEmpty()) {
        if (QFileInfo(path).isFile() && !QFile::remove(path))
            DDLogError(QStringLiteral("Cannot remove %1").arg(path));
        return;
    }
    QSaveFile file(path);
    if (QFileInfo(path).isSymLink() || !file.open(QIODevice::WriteOnly)) {
        DDLogError(QStringLiteral("Cannot keep the photos to send again in %1").arg(path));
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("Username"), username}, {QStringLiteral("Contacts"), contacts}})
                   .toJson(QJsonDocument::Compact));
    if (!file.commit())
        DDLogError(QStringLiteral("Cannot keep the photos to send again in %1: %2").arg(path, file.errorString()));
}
