// Contact pictures between Outlook and the other side: read for the transports (the phone link's
// payload puts the device id in front), and received pictures set on the Outlook contacts.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"

#include <QFile>

using platform::NSAppleScript;
using platform::NSAppleScriptError;

namespace {

// Outlook reads the file it is given; the file is closed again once read.
QString setImageScript(const QString &path, const QString &outlookId)
{
    return QStringLiteral("set theImageFile to a reference to POSIX file \"%1\"\nset img_file to open for access "
                          "theImageFile\nset img_data to read img_file as \"JPEG\"\nclose access img_file\ntell "
                          "application \"%2\"\nset the image of contact id \"%3\" to img_data\nend tell")
        .arg(escapedString(path), escapedString(HMOutlookSQLiteHelper::outlookApplicationReference()),
             escapedString(outlookId));
}

} // namespace

QByteArray HMContactData::photoForOutlookContact(const QString &outlookId)
{
    // The id stands unquoted in the script: only a decimal id is sent.
    if (!HMOutlookSQLiteHelper::isDecimalId(outlookId))
        return {};
    const QString script = QStringLiteral("tell application \"%1\"\nset thePicture to image of contact id %2\nreturn "
                                          "thePicture\nend tell")
                               .arg(HMOutlookSQLiteHelper::outlookApplicationReference(), outlookId);
    std::optional<NSAppleScriptError> error;
    const platform::NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("The picture of contact %1 could not be read: %2").arg(outlookId, error->message));
        return {};
    }
    return result.data();
}

QByteArray HMContactData::wifiFormattedPhotoForOutlookContact(const QString &outlookId)
{
    const QString deviceId = HMOutlookDatFileHelper().getDeviceContactIdForOutlookContactId(outlookId);
    if (deviceId.isEmpty())
        return {};
    QByteArray payload = deviceId.toUtf8();
    payload.append('\0');
    payload.append("    ", 4);
    payload.append(photoForOutlookContact(outlookId));
    return payload;
}

void HMContactData::savePicturesFromQuillnestSync(const QVariantMap &pictures)
{
    if (pictures.isEmpty())
        return;
    for (auto it = pictures.constBegin(); it != pictures.constEnd(); ++it) {
        QString outlookId = GlobalVariables::getIsGoogleDirect()
            ? contactMap().getOutlookContactIdForGoogleContactIdEndingWith(it.key())
            : contactMap().getOutlookContactIdForDeviceContactId(it.key());
        if (outlookId.isEmpty())
            outlookId = uniqueIdsDictionary().value(it.key()).toString();
        const QString path = it.value().toString();
        std::optional<NSAppleScriptError> error;
        // Setting a picture changes the contact's modification date: the next read of Outlook's changes
        // begins in a later second, or this run would read the contact back as changed.
        (void)runOutlookWrite(setImageScript(path, outlookId), error, false);
        if (error)
            DDLogInfo(QStringLiteral("The picture of contact %1 could not be set: %2 (%3)")
                          .arg(outlookId, error->message)
                          .arg(error->number));
        // A picture Outlook refused for a contact it holds keeps its file: the cloud client asks for
        // it again at the next sync, and the file goes once the picture is set.
        if (error && !outlookId.isEmpty() && !path.isEmpty() && QFile::exists(path)) {
            DDLogInfo(QStringLiteral("The picture of contact %1 is asked for again at the next sync").arg(outlookId));
            continue;
        }
        if (!path.isEmpty() && QFile::exists(path) && !QFile::remove(path))
            DDLogError(QStringLiteral("The received picture %1 could not be removed").arg(path));
    }
}
