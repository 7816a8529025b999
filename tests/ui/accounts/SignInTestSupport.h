#pragma once

#include "GooglePeer.h"

#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace peertls {
struct CertificateFiles;
}

// The Google peer in process over a test CA of its own, with the account me@example.com (refresh
// token "1//rt") and its calendars: "Me" (primary), "Team" (read-only) and "Work". The client trusts
// the test CA only; the API and account hosts point at the peer. The workspace's opener records the
// address it is asked to open instead of starting a browser. The home folder is a temporary one.
class SignInFixture final
{
public:
    // With certificates given, the peer serves those (so that one test CA covers another peer too).
    explicit SignInFixture(const peertls::CertificateFiles *certificates = nullptr);
    ~SignInFixture();
    SignInFixture(const SignInFixture &) = delete;
    SignInFixture &operator=(const SignInFixture &) = delete;

    googlepeer::GooglePeer &peer() { return *m_peer; }
    const QString &folder() const { return m_folderPath; }
    const QString &caFile() const { return m_caFile; }
    // The last address the workspace was asked to open, and how many were asked.
    QUrl openedUrl() const { return m_openedUrl; }
    int openCount() const { return m_openCount; }
    // Whether the opener answers that a browser opened.
    void setBrowserAvailable(bool available) { m_browserAvailable = available; }
    // The requests the peer received on the path.
    QList<googlepeer::ReceivedRequest> requestsTo(const QString &path) const;

private:
    QTemporaryDir m_folder;
    QString m_folderPath;
    QString m_caFile;
    std::unique_ptr<googlepeer::GooglePeer> m_peer;
    QUrl m_openedUrl;
    int m_openCount = 0;
    bool m_browserAvailable = true;
};

// What the browser saw on its way through the sign-in.
struct BrowserVisit
{
    bool reachedListener = false; // the loopback redirect answered
    int listenerStatus = 0;
    QString listenerPage;
    QString redirectTarget;       // the address the peer redirected to
};

// Plays the user's browser on the authorization address: GETs the sign-in page from the peer (over
// the test CA), follows its Allow or Deny link, and GETs the loopback redirect the peer answers,
// as a browser would. Runs on another thread; the caller pumps the main loop until it is done.
BrowserVisit browse(const QUrl &authorizationUrl, const QString &caFile, bool allow);
// One GET of the target on the loopback port, in a thread of its own; nothing when it cannot connect.
std::optional<std::pair<int, QString>> getLoopback(quint16 port, const QString &target);
// Where the sheets' screenshots go: build/screenshots/ui/accounts, with "-scale-N" when QT_SCALE_FACTOR
// names another scale than 1 (run the tests once more with QT_SCALE_FACTOR=2 to look at that).
QString accountScreenshotFolder();
// Runs the work on another thread while pumping the main loop until it has ended.
void whilePumping(const std::function<void()> &work);
