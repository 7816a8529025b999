#include "CloudTestSupport.h"

#include "RestKitTestSupport.h"
#include "TestCertificates.h"
#include "platform/restkit/RKClient.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

QVariant FakeCloudConfiguration::settingValueForSetting(qint64 setting) const
{
    switch (setting) {
    case 15:
        return m_user;
    case 16:
        return m_password;
    case 17:
        return m_deviceId;
    default:
        return {};
    }
}

void RecordingClientDelegate::logonCommandReturned(bool wasSuccessful, const QVariantMap &reply)
{
    {
        const std::lock_guard lock(m_mutex);
        m_logonReply = reply;
    }
    note(QStringLiteral("logon %1").arg(int(wasSuccessful)));
}

void RecordingClientDelegate::logoffCommandReturned(bool wasSuccessful)
{
    note(QStringLiteral("logoff %1").arg(int(wasSuccessful)));
}

void RecordingClientDelegate::purgeCommandReturned(bool wasSuccessful)
{
    note(QStringLiteral("purge %1").arg(int(wasSuccessful)));
}

void RecordingClientDelegate::didErrorWithError(quint64 errorCode, const QString &errorMessage)
{
    note(QStringLiteral("error %1 %2").arg(errorCode).arg(errorMessage).trimmed());
}

void RecordingClientDelegate::listCommandReturnedWithDictionaries(const QList<QVariantMap> &records)
{
    {
        const std::lock_guard lock(m_mutex);
        m_pages.append(records);
    }
    note(QStringLiteral("page %1").arg(records.size()));
}

void RecordingClientDelegate::listCommandFinishedSuccessful(bool wasSuccessful)
{
    note(QStringLiteral("listed %1").arg(int(wasSuccessful)));
}

void RecordingClientDelegate::writeRemainOnCurrentConduit(bool remain)
{
    note(QStringLiteral("more %1").arg(int(remain)));
}

void RecordingClientDelegate::updateCommandReturnedWithDetailedDictionaries(const QList<QVariantMap> &results)
{
    {
        const std::lock_guard lock(m_mutex);
        m_detailed.append(results);
    }
    note(QStringLiteral("detailed %1").arg(results.size()));
}

void RecordingClientDelegate::updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit)
{
    Q_UNUSED(conduit);
    {
        const std::lock_guard lock(m_mutex);
        m_confirmed.insert(ids);
    }
    note(QStringLiteral("confirmed %1").arg(ids.size()));
}

void RecordingClientDelegate::writeRemainOnUpdateConduit(bool remain)
{
    note(QStringLiteral("remain-update %1").arg(int(remain)));
}

void RecordingClientDelegate::writeUpdatePhotosStage(bool photosStage)
{
    note(QStringLiteral("photos-stage %1").arg(int(photosStage)));
}

void RecordingClientDelegate::updateCommandReturnedSuccessful(bool wasSuccessful)
{
    note(QStringLiteral("update %1").arg(int(wasSuccessful)));
}

void RecordingClientDelegate::clearEvents()
{
    const std::lock_guard lock(m_mutex);
    m_events.clear();
    m_pages.clear();
    m_detailed.clear();
    m_confirmed.clear();
}

QList<QList<QVariantMap>> RecordingClientDelegate::pages() const
{
    const std::lock_guard lock(m_mutex);
    return m_pages;
}

QList<QVariantMap> RecordingClientDelegate::detailedResults() const
{
    const std::lock_guard lock(m_mutex);
    return m_detailed;
}

QVariantMap RecordingClientDelegate::confirmedIds() const
{
    const std::lock_guard lock(m_mutex);
    return m_confirmed;
}

void RecordingClientDelegate::note(const QString &event)
{
    const std::lock_guard lock(m_mutex);
    m_events.append(event);
}

QStringList RecordingClientDelegate::events() const
{
    const std::lock_guard lock(m_mutex);
    return m_events;
}

QVariantMap RecordingClientDelegate::logonReply() const
{
    const std::lock_guard lock(m_mutex);
    return m_logonReply;
}

bool RecordingClientDelegate::waitForCount(const QString &prefix, int count, std::chrono::milliseconds timeout) const
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeout.count()) {
        int seen = 0;
        for (const QString &event : events()) {
            if (event.startsWith(prefix) && ++seen == count)
                return true;
        }
        spinMainLoop(std::chrono::milliseconds(5));
    }
    return false;
}

void spinMainLoop(std::chrono::milliseconds duration)
{
    QElapsedTimer clock;
    clock.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (clock.elapsed() < duration.count());
}

PeerFixture::PeerFixture()
{
    ensureApplication();
    QString error;
    if (!peertls::makeTestCertificates(folder.path(), {}, certificates, error))
        ADD_FAILURE() << error.toStdString();
    cloudpeer::Options options;
    options.stateFile = folder.filePath(QStringLiteral("state.json"));
    options.certFile = certificates.certFile;
    options.keyFile = certificates.keyFile;
    peer = std::make_unique<cloudpeer::CloudPeer>(options);
    if (!peer->start(error))
        ADD_FAILURE() << "the cloud peer did not start: " << error.toStdString();
    peer->addAccount(kUser, kPassword);
}

PeerFixture::~PeerFixture()
{
    peer->stop();
}

QString PeerFixture::httpsHost() const
{
    return QStringLiteral("127.0.0.1:%1").arg(peer->httpsPort());
}

QString PeerFixture::httpHost() const
{
    return QStringLiteral("127.0.0.1:%1").arg(peer->httpPort());
}

std::unique_ptr<HMQuillnestSync> makeCloudSync(const QString &host, const QString &caFile,
                                               RecordingClientDelegate &delegate, HMQuillnestTiming timing,
                                               const QString &password)
{
    qputenv("HM_QUILLNEST_HOST", host.toUtf8());
    platform::RKClient::setDefaultExtraCACertificatesFile(caFile);
    const auto configuration =
        std::make_shared<FakeCloudConfiguration>(3, kUser, password, QStringLiteral("profile-file-1"));
    std::unique_ptr<HMQuillnestSync> sync = HMQuillnestSync::initWithConfiguration(configuration, timing);
    QString error;
    sync->setup(error);
    sync->setDelegate(&delegate);
    return sync;
}
