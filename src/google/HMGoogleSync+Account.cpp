// The Google account: the token refresh of every run, the tokens in the profile, and the e-mail
// address, picture and calendars the sign-in sheet asks for.
#include "google/HMGoogleSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleJson.h"
#include "google/HMGoogleSyncDriver.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestDelegate.h"
#include "sync/HMProfile.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

namespace {

const QString kNoRefreshTokenText =
    QStringLiteral("Unable to access Google.\nClick the gear icon in Harrowmere to allow access to your Google account.");
const QString kReauthorizeText = QStringLiteral(
    "Your Google account is inaccessible.\nClick below to reauthorize access to your Google account.");
const QString kTimedOutText = QStringLiteral("The connection timed out.");
constexpr qint64 kMaxTokenReplyBytes = 64 * 1024;
constexpr qint64 kMaxAccountReplyBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxPictureBytes = 8 * 1024 * 1024;

void showOnSheet(const QString &overall, const QString &step)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setOverallMessageDirectly(overall, 0.1);
    sheet->setUserMessageDirectly(step, 0.1);
}

// The token request's delegate: its progress callbacks only leave their names in the verbose log;
// the reply and the failure go to the run through the request's blocks. It holds nothing, so it
// outlives every request that names it.
class TokenRequestLog final : public platform::RKRequestDelegate
{
public:
    void requestDidStartLoad(platform::RKRequest &) override { DDLogVerbose(QStringLiteral("requestDidStartLoad:")); }
    void requestDidReceiveResponse(platform::RKRequest &, const platform::RKResponse &) override
    {
        DDLogVerbose(QStringLiteral("request:didReceiveResponse:"));
    }
    void requestDidLoadResponse(platform::RKRequest &, const platform::RKResponse &) override
    {
        DDLogVerbose(QStringLiteral("request:didLoadResponse:"));
    }
};

platform::RKRequestDelegate *tokenRequestLog()
{
    static TokenRequestLog log;
    return &log;
}

} // namespace

bool HMGoogleSync::hasTokens()
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current || current->googleAccessToken().isEmpty())
        return false;
    setAccessToken(current->googleAccessToken());
    if (current->googleRefreshToken().isEmpty())
        return false;
    m_refreshToken = current->googleRefreshToken();
    DDLogVerbose(QStringLiteral("hasTokens returning true"));
    return true;
}

void HMGoogleSync::setTokens()
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current || accessToken().isEmpty() || m_refreshToken.isEmpty())
        return;
    current->setGoogleAccessToken(accessToken());
    current->setGoogleRefreshToken(m_refreshToken);
}

void HMGoogleSync::doStuff()
{
    getCalendarList();
    getUserInfo();
}

QByteArray HMGoogleSync::refreshBody(const QString &refreshToken)
{
    return QByteArrayLiteral("client_id=") + googlehosts::kClientId + "&client_secret=" + googlehosts::kClientSecret +
           "&refresh_token=" + refreshToken.toUtf8() + "&grant_type=refresh_token";
}

std::optional<QString> HMGoogleSync::accessTokenOfReply(const QByteArray &body)
{
    static const QByteArray key = QByteArrayLiteral("access_token\": \"");
    const qsizetype start = body.indexOf(key);
    if (start < 0)
        return std::nullopt;
    const qsizetype from = start + key.size();
    const qsizetype end = body.indexOf('"', from);
    return QString::fromUtf8(body.mid(from, end < 0 ? -1 : end - from));
}

void HMGoogleSync::getNewOauthToken()
{
    showOnSheet(QStringLiteral("Logging on to Google"), QStringLiteral("Requesting authorization ..."));
    if (m_refreshToken.isEmpty()) {
        endSyncWithError(kNoRefreshTokenText);
        return;
    }
    // A token that could break the form is never sent; the account must be signed in again.
    if (!googlehosts::isTokenText(m_refreshToken)) {
        DDLogError(QStringLiteral("The stored refresh token holds characters no token has"));
        endSyncWithError(kReauthorizeText);
        return;
    }
    const std::shared_ptr<platform::RKRequest> request = m_wifiSyncClient->requestWithResourcePath(
        QStringLiteral("oauth2/v4/token"));
    request->setMethod(platform::RKRequestMethod::POST);
    request->setCachePolicy(platform::RKRequestCachePolicy::None);
    request->setTimeoutInterval(30.0);
    request->setMaxResponseBytes(kMaxTokenReplyBytes);
    request->setHTTPBody(refreshBody(m_refreshToken), QStringLiteral("application/x-www-form-urlencoded"));
    request->setDelegate(tokenRequestLog());
    const std::weak_ptr<HMGoogleSync> weak = weak_from_this();
    request->setOnDidLoadResponse([weak](const platform::RKResponse &response) {
        if (const std::shared_ptr<HMGoogleSync> self = weak.lock())
            self->m_queue->async([self, body = response.body(), status = response.statusCode()] {
                self->handleTokenReply(status, body);
            });
    });
    request->setOnDidFailLoadWithError([weak](const platform::PlatformError &error) {
        if (const std::shared_ptr<HMGoogleSync> self = weak.lock())
            self->m_queue->async([self, text = error.localizedDescription()] {
                DDLogError(QStringLiteral("ERROR: %1").arg(text));
                self->endSyncWithError(kTimedOutText);
            });
    });
    request->send();
}

void HMGoogleSync::handleTokenReply(int status, const QByteArray &body)
{
    if (syncStage() != QLatin1String("retrieveTokens"))
        return;
    const std::optional<QString> token = accessTokenOfReply(body);
    if (!token || !googlehosts::isTokenText(*token)) {
        DDLogError(QStringLiteral("The token reply (HTTP %1) holds no usable access token").arg(status));
        endSyncWithError(kReauthorizeText);
        return;
    }
    setAccessToken(*token);
    m_syncDriver->setAccessToken(*token);
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setOverallMessageDirectly(QStringLiteral("Synchronizing"), 0.2);
    setNextStage();
    process();
}

// A GET on the caller's thread, bounded; nothing when the request fails.
std::optional<QByteArray> HMGoogleSync::synchronousGet(const QString &address, bool withToken, qint64 maxBytes)
{
    const std::shared_ptr<platform::RKClient> client = platform::RKClient::clientWithBaseURL(address);
    client->setCachePolicy(platform::RKRequestCachePolicy::None);
    if (withToken) {
        if (!googlehosts::isTokenText(accessToken()))
            return std::nullopt;
        // The account requests send the token as it stands; the driver's requests write "/" as "%2F".
        client->setValueForHTTPHeaderField("Bearer " + accessToken().toUtf8(), "Authorization");
    }
    const std::shared_ptr<platform::RKRequest> request = client->requestWithResourcePath(QString());
    request->setTimeoutInterval(30.0);
    request->setMaxResponseBytes(maxBytes);
    const platform::RKRequestOutcome outcome = request->sendSynchronously();
    if (!outcome.isLoaded()) {
        DDLogError(QStringLiteral("ERROR: %1").arg(outcome.error().localizedDescription()));
        return std::nullopt;
    }
    return outcome.response().body();
}

void HMGoogleSync::getUserInfo()
{
    const std::optional<QByteArray> body =
        synchronousGet(googlehosts::apiHost() + QStringLiteral("oauth2/v1/userinfo"), true, kMaxAccountReplyBytes);
    const QVariantMap info = body ? dictionaryForJsonString(*body).value_or(QVariant()).toMap() : QVariantMap();
    if (info.contains(QStringLiteral("picture")))
        getUserImage(info.value(QStringLiteral("picture")).toString());
    if (m_controllerDelegate != nullptr)
        m_controllerDelegate->googleSyncControllerReturnedWithUserName(info.value(QStringLiteral("email")).toString());
}

void HMGoogleSync::getUserImage(const QString &address)
{
    const QUrl url(address);
    if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        DDLogError(QStringLiteral("The account's picture is not at an http(s) address"));
        return;
    }
    const std::optional<QByteArray> image = synchronousGet(url.toString(QUrl::FullyEncoded), false, kMaxPictureBytes);
    if (image && !image->isEmpty() && m_controllerDelegate != nullptr)
        m_controllerDelegate->googleSyncControllerReturnedWithUserImage(*image);
}

void HMGoogleSync::getCalendarList()
{
    const std::optional<QByteArray> body = synchronousGet(
        googlehosts::apiHost() + QStringLiteral("calendar/v3/users/me/calendarList"), true, kMaxAccountReplyBytes);
    parseDictionaryForGoogleCalendars(body ? dictionaryForJsonString(*body).value_or(QVariant()).toMap()
                                           : QVariantMap());
}

void HMGoogleSync::parseDictionaryForGoogleCalendars(const QVariantMap &reply)
{
    getUserInfo();
    if (m_controllerDelegate != nullptr)
        m_controllerDelegate->googleSyncControllerReturnedWithCalendarList(calendarEntriesOfReply(reply));
}

QVariantList HMGoogleSync::calendarEntriesOfReply(const QVariantMap &reply)
{
    static const QString groupDomain = QStringLiteral("group.v.calendar.google.com");
    QVariantList calendars;
    for (const QVariant &item : reply.value(QStringLiteral("items")).toList()) {
        const QVariantMap calendar = item.toMap();
        const QString id = calendar.value(QStringLiteral("id")).toString();
        if (id.contains(QStringLiteral("p#weather@") + groupDomain) || id.contains(QStringLiteral("#contacts@") + groupDomain))
            continue;
        QVariantMap entry;
        if (calendar.contains(QStringLiteral("summary"))) {
            const bool isReader = calendar.value(QStringLiteral("accessRole")).toString() == QLatin1String("reader");
            entry.insert(QStringLiteral("name"), calendar.value(QStringLiteral("summary")).toString() +
                                                     (isReader ? QStringLiteral(" (Read-only)") : QString()));
        }
        for (const auto &[key, source] : {std::pair{"id", "id"}, std::pair{"primary", "primary"},
                                          std::pair{"timeZone", "timeZone"}, std::pair{"color", "foregroundColor"}}) {
            if (calendar.contains(QLatin1String(source)))
                entry.insert(QLatin1String(key), calendar.value(QLatin1String(source)));
        }
        calendars << entry;
    }
    return calendars;
}

std::optional<QVariant> HMGoogleSync::dictionaryForJsonString(const QByteArray &text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || document.isNull()) {
        DDLogError(QStringLiteral("Error parsing json"));
        return std::nullopt;
    }
    return document.toVariant();
}

QString HMGoogleSync::jsonStringFromDictionary(const QVariantMap &dictionary)
{
    const QByteArray json = googlejson::compactJson(dictionary);
    if (json.isEmpty()) {
        DDLogError(QStringLiteral("Error parsing json: %1").arg(QStringLiteral("not representable")));
        return {};
    }
    return QString::fromUtf8(json);
}
