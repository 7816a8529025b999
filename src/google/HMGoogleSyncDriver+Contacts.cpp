// The start of the contacts reading: the account's contact groups, then the pages of contacts.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/XMLDictionaryParser.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"

#include <QUrl>

namespace {

void showProgress(const QString &text, double progress)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text, progress);
}

// The failure text of a listing reply, empty for a status taken as success.
QString listStatusText(int status)
{
    if (status == 401)
        return QStringLiteral("HTTP 401: Unauthorized.\nGoogle has not authorized access to this account.");
    if (status == 400)
        return QStringLiteral("HTTP 400: Unknown error.");
    if (status >= 500)
        return QStringLiteral("HTTP 500: Server error.\nSomething is wrong on the server. Try again in a few minutes.");
    return {};
}

// The value under the key as a list: a list unchanged, a lone dictionary as one element, else empty.
QVariantList listUnder(const QVariantMap &node, const QString &key)
{
    const QVariant value = node.value(key);
    if (value.typeId() == QMetaType::QVariantList)
        return value.toList();
    if (value.typeId() == QMetaType::QVariantMap)
        return {value};
    return {};
}

// An element's text: its "__text" when it carries attributes, else its plain value.
QString nodeText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap().value(QStringLiteral("__text")).toString();
    return value.toString();
}

} // namespace

void HMGoogleSyncDriver::begin()
{
    DDLogInfo(QStringLiteral("begin"));
    listContactGroups();
}

QMap<QString, QString> HMGoogleSyncDriver::groupNamesAndIds() const
{
    const std::lock_guard lock(m_mutex);
    return m_groupNamesAndIds;
}

void HMGoogleSyncDriver::listContactGroups()
{
    if (m_shouldCancel->load()) {
        cancelSync();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_groupNamesAndIds.clear();
    }
    // The address goes into the path: anything but "@" that could end or split the path is encoded.
    const QString email = QString::fromLatin1(QUrl::toPercentEncoding(m_userEmail, "@"));
    const QString path = QStringLiteral("m8/feeds/groups/%1/full?max-results=50000").arg(email);
    showProgress(QStringLiteral("Reading Google contact groups."), 0.22);
    makeClient(googlehosts::contactsHost())->setValueForHTTPHeaderField("3.0", "GData-Version");
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        path, 0,
        [weak](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->contactGroupsReturned(status, body);
        },
        [weak](const QString &description) {
            DDLogError(QStringLiteral("ERROR[CG]: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->cancelSyncWithError(QStringLiteral("ERROR: %1").arg(description));
        });
    request->send();
}

// A refused listing ends the run before the contacts are asked for: no request follows one that failed.
void HMGoogleSyncDriver::contactGroupsReturned(int status, const QByteArray &body)
{
    const std::optional<QVariantMap> feed = xmldictionary::dictionaryWithXMLData(body);
    if (feed)
        parseGroupsResponseDictionary(*feed);
    else
        DDLogError(QStringLiteral("responseDict is not a dicitonary object %1").arg(QString::fromUtf8(body.left(200))));
    const QString failure = listStatusText(status);
    if (!failure.isEmpty()) {
        cancelSyncWithError(failure);
        return;
    }
    listGoogleContacts();
}

void HMGoogleSyncDriver::parseGroupsResponseDictionary(const QVariantMap &feed)
{
    const QVariantList entries = listUnder(feed, QStringLiteral("entry"));
    const std::lock_guard lock(m_mutex);
    for (const QVariant &value : entries) {
        const QVariantMap entry = value.toMap();
        if (!entry.contains(QStringLiteral("title")) || !entry.contains(QStringLiteral("id")))
            continue;
        m_groupNamesAndIds.insert(nodeText(entry.value(QStringLiteral("id"))),
                                  nodeText(entry.value(QStringLiteral("title"))));
    }
}

void HMGoogleSyncDriver::listGoogleContacts()
{
    if (m_shouldCancel->load()) {
        cancelSync();
        return;
    }
    // Google's contacts were emptied in this run: there is nothing to read.
    if (m_purgeContacts) {
        m_purgeContacts = false;
        if (m_delegate != nullptr)
            m_delegate->syncDriverContactListCommandReturnedWithDictionaries({}, {}, false, QDateTime());
        return;
    }
    // The pages of contacts come with the contacts conduit; the run refuses a profile that syncs contacts
    // at its start until then, so only a direct caller reaches this.
    cancelSyncWithError(QStringLiteral("Direct Google sync of contacts is not available in this version of "
                                       "Harrowmere. Nothing was changed."));
}
