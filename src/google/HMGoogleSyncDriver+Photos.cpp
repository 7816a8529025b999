// Contact photos between Google and Outlook: Google's changed photos fetched one at a time into the
// data folder's "temp" folder and handed to Outlook at once; Outlook's photos uploaded one at a time
// after the contact writes, which ends the contacts conduit.
#include "google/HMGoogleSyncDriver.h"

#include "cloud/HMQuillnestSync.h"
#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleQueueStep.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestSerialization.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>
#include <QUrl>

namespace {

// Google's photos are small; anything past this is refused before it is decoded.
constexpr qint64 kMaxPhotoBytes = 8 * 1024 * 1024;

QString photoPath(const QString &email, const QString &googleId)
{
    return QStringLiteral("m8/feeds/photos/media/%1/%2")
        .arg(QString::fromLatin1(QUrl::toPercentEncoding(email, "@")),
             QString::fromLatin1(QUrl::toPercentEncoding(googleId.section(u'/', -1))));
}

// A short id names its file only when it is plainly a file name; any other is named by its digest.
QString photoFileName(const QString &shortId)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_-]{1,128}$"));
    const QString stem = safe.match(shortId).hasMatch()
        ? shortId
        : QString::fromLatin1(QCryptographicHash::hash(shortId.toUtf8(), QCryptographicHash::Sha1).toHex());
    return stem + QStringLiteral(".jpeg");
}

} // namespace

void HMGoogleSyncDriver::readGoogleContactPhotos()
{
    if (stopsForCancel())
        return;
    if (m_googleContactsWithPhotos.isEmpty()) {
        if (m_delegate != nullptr)
            m_delegate->syncDriverContactPhotosCommandReturned();
        return;
    }
    getPhotoForNextGoogleContact();
}

// A failed fetch is logged and the chain goes on: one bad photo costs only itself.
void HMGoogleSyncDriver::getPhotoForNextGoogleContact()
{
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_googleContactsWithPhotos, [this] { handOverPhotos(); }))
        return;
    const QString googleId = m_googleContactsWithPhotos.takeFirst();
    makeContactsClient()->setValueForHTTPHeaderField("application/atom+xml", "Content-Type");
    DDLogVerbose(QStringLiteral("Requesting photos from %1").arg(googleId));
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        photoPath(m_userEmail, googleId), 0,
        [weak, googleId](int status, const QByteArray &body) {
            DDLogVerbose(QStringLiteral("response.statusCode[RCP] %1").arg(status));
            const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock();
            if (!driver)
                return;
            if (status >= 200 && status <= 299)
                driver->parsePhotoResponse(body, googleId);
            driver->getPhotoForNextGoogleContact();
        },
        [weak](const QString &description) {
            DDLogError(QStringLiteral("ERROR[RCP]: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->getPhotoForNextGoogleContact();
        });
    request->setUserData(googleId);
    request->setMaxResponseBytes(kMaxPhotoBytes);
    request->send();
}

void HMGoogleSyncDriver::parsePhotoResponse(const QByteArray &bytes, const QString &googleId)
{
    const QString folder = QDir(HMOutlookDatFileHelper().getAppDataFolder()).filePath(QStringLiteral("temp"));
    if (!QDir(folder).exists() && !QDir().mkdir(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner)) {
        DDLogError(QStringLiteral("The folder %1 could not be made").arg(folder));
        return;
    }
    const QString shortId = googleId.section(u'/', -1);
    const QString path = QDir(folder).filePath(photoFileName(shortId));
    QString problem;
    if (!HMQuillnestSync::writePhotoAsJpeg(bytes, path, problem)) {
        DDLogError(QStringLiteral("Skipping the photo of %1: %2").arg(shortId, problem));
        return;
    }
    m_googleContactPhotosDictionary.insert(shortId, path);
}

void HMGoogleSyncDriver::handOverPhotos()
{
    if (m_contactData && !m_googleContactPhotosDictionary.isEmpty())
        m_contactData->savePicturesFromQuillnestSync(m_googleContactPhotosDictionary);
    m_googleContactPhotosDictionary.clear();
    if (m_delegate != nullptr)
        m_delegate->syncDriverContactPhotosCommandReturned();
}

// Uploads ------------------------------------------------------------------------------------------

// A contact without a Google id or without a readable photo is passed over; the chain goes on.
void HMGoogleSyncDriver::sendContactPhotos()
{
    if (stopsForCancel())
        return;
    QStringList outlookIds = GlobalVariables::getOutlookContactIdsWithPhotosToSendToGoogle();
    QString outlookId;
    QString googleId;
    QByteArray photo;
    while (!outlookIds.isEmpty() && (googleId.isEmpty() || photo.isEmpty())) {
        outlookId = outlookIds.takeFirst();
        googleId = m_googleIdByOutlookId.value(outlookId);
        if (googleId.isEmpty())
            googleId = HMOutlookDatFileHelper().getDeviceContactIdForOutlookContactId(outlookId);
        photo = googleId.isEmpty() ? QByteArray() : HMContactData::photoForOutlookContact(outlookId);
        if (photo.size() > kMaxPhotoBytes) {
            DDLogError(QStringLiteral("The photo of contact %1 is too large to send").arg(outlookId));
            photo.clear();
        }
    }
    GlobalVariables::setOutlookContactIdsWithPhotosToSendToGoogle(outlookIds);
    if (googleId.isEmpty() || photo.isEmpty()) {
        finishContactConduit();
        return;
    }
    makeContactsClient();
    DDLogVerbose(QStringLiteral("Sending image to: %1").arg(googleId));
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        photoPath(m_userEmail, googleId), 2,
        [weak, outlookId](int status, const QByteArray &) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->handleImageReponse(status >= 200 && status <= 299, outlookId);
        },
        [weak, outlookId](const QString &description) {
            DDLogError(QStringLiteral("ERROR: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->handleImageReponse(false, outlookId);
        });
    request->setValueForHTTPHeaderField("*", "If-Match");
    request->setParams(platform::RKRequestSerialization::serializationWithData(photo, QStringLiteral("image/jpeg")));
    request->send();
}

// A photo not taken sends its contact again (with the photo).
void HMGoogleSyncDriver::handleImageReponse(bool answered, const QString &outlookId)
{
    if (!answered)
        noteWriteNotTaken(Conduit::Contacts, outlookId, {});
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController()) {
        ++m_contactImagesSent;
        if (!m_shouldCancel->load())
            sheet->setUserMessageDirectly(QStringLiteral("Writing contact images to Google %1").arg(m_contactImagesSent), 0.5);
    }
    sendContactPhotos();
}
