#include "SignInTestSupport.h"

#include "TestCertificates.h"
#include "platform/appkit/Workspace.h"
#include "platform/restkit/RKClient.h"
#include "support/TestSupport.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

SignInFixture::SignInFixture(const peertls::CertificateFiles *shared) : m_folderPath(m_folder.path())
{
    testsupport::pointHomeAt(m_folderPath);
    peertls::CertificateFiles certificates;
    QString error;
    if (shared != nullptr)
        certificates = *shared;
    else
        EXPECT_TRUE(peertls::makeTestCertificates(m_folderPath, {}, certificates, error)) << error.toStdString();
    m_caFile = certificates.caFile;
    m_peer = std::make_unique<googlepeer::GooglePeer>(
        googlepeer::Options{m_folderPath + QStringLiteral("/peer-state.json"), certificates.certFile, certificates.keyFile, 0});
    EXPECT_TRUE(m_peer->start(error)) << error.toStdString();
    const QJsonArray calendars{
        QJsonObject{{"id", "me@example.com"}, {"summary", "Me"}, {"accessRole", "owner"}, {"primary", true},
                    {"timeZone", "Europe/Berlin"}, {"foregroundColor", "#000000"}},
        QJsonObject{{"id", "team@group.calendar.google.com"}, {"summary", "Team"}, {"accessRole", "reader"}},
        QJsonObject{{"id", "work@group.calendar.google.com"}, {"summary", "Work"}, {"accessRole", "writer"}}};
    EXPECT_TRUE(m_peer->seed(QJsonObject{{"accounts", QJsonObject{{"me@example.com",
                                                                  QJsonObject{{"refreshToken", "1//rt"},
                                                                              {"calendars", calendars}}}}}},
                             error));
    qputenv("HM_GOOGLE_API_HOST", m_peer->baseUrl().toLatin1());
    qputenv("HM_GOOGLE_ACCOUNTS_HOST", m_peer->baseUrl().toLatin1());
    platform::RKClient::setDefaultExtraCACertificatesFile(m_caFile);
    platform::Workspace::sharedWorkspace().setOpener([this](platform::Workspace::RequestKind, const QUrl &url) {
        m_openedUrl = url;
        ++m_openCount;
        return m_browserAvailable;
    });
}

SignInFixture::~SignInFixture()
{
    platform::Workspace::sharedWorkspace().setOpener({});
    platform::RKClient::setDefaultExtraCACertificatesFile(QString());
    qunsetenv("HM_GOOGLE_API_HOST");
    qunsetenv("HM_GOOGLE_ACCOUNTS_HOST");
    m_peer->stop();
}

QList<googlepeer::ReceivedRequest> SignInFixture::requestsTo(const QString &path) const
{
    QList<googlepeer::ReceivedRequest> found;
    for (const googlepeer::ReceivedRequest &request : m_peer->requests()) {
        if (request.path == path)
            found << request;
    }
    return found;
}

QString accountScreenshotFolder()
{
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR");
    return testsupport::binaryDir() + QStringLiteral("/screenshots/ui/accounts") +
           (scale.isEmpty() || scale == QLatin1String("1") ? QString() : QStringLiteral("-scale-") + scale);
}

void whilePumping(const std::function<void()> &work)
{
    std::atomic<bool> done = false;
    std::thread worker([&] {
        work();
        done = true;
    });
    // Pumps without sleeping between turns, so that timings taken around it measure the work.
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done && elapsed.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    EXPECT_TRUE(done.load());
    worker.join();
}

std::optional<std::pair<int, QString>> getLoopback(quint16 port, const QString &target)
{
    std::optional<std::pair<int, QString>> answer;
    whilePumping([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(5);
        client.set_read_timeout(10);
        if (const httplib::Result reply = client.Get(target.toStdString()))
            answer = std::pair{reply->status, QString::fromStdString(reply->body)};
    });
    return answer;
}

BrowserVisit browse(const QUrl &authorizationUrl, const QString &caFile, bool allow)
{
    BrowserVisit visit;
    std::string location;
    whilePumping([&] {
        httplib::SSLClient google("127.0.0.1", authorizationUrl.port());
        google.set_ca_cert_path(caFile.toLocal8Bit().constData());
        const std::string page = authorizationUrl.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::FullyEncoded)
                                     .toStdString();
        const httplib::Result signIn = google.Get(page);
        if (!signIn)
            return;
        static const QRegularExpression link(QStringLiteral("id=\"(submit_approve_access|submit_deny_access)\" href=\"([^\"]+)\""));
        QString chosen;
        for (auto match = link.globalMatch(QString::fromStdString(signIn->body)); match.hasNext();) {
            const QRegularExpressionMatch found = match.next();
            if ((found.captured(1) == QLatin1String("submit_approve_access")) == allow)
                chosen = found.captured(2).replace(QLatin1String("&amp;"), QLatin1String("&"));
        }
        const httplib::Result decision = google.Get(chosen.toStdString());
        if (!decision || decision->status != 302)
            return;
        location = decision->get_header_value("Location");
    });
    visit.redirectTarget = QString::fromStdString(location);
    const QUrl redirect(visit.redirectTarget);
    if (redirect.host() != QLatin1String("127.0.0.1"))
        return visit;
    const auto answer = getLoopback(quint16(redirect.port()), redirect.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority |
                                                                              QUrl::FullyEncoded));
    visit.reachedListener = answer.has_value();
    if (answer) {
        visit.listenerStatus = answer->first;
        visit.listenerPage = answer->second;
    }
    return visit;
}
