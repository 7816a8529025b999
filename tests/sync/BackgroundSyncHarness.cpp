#include "BackgroundSyncHarness.h"

#include "FakeSyncClient.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"
#include "support/TestSupport.h"

namespace {

const char *const kEnvironment[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"};
constexpr quint64 kWiFiSyncMethod = 1;

} // namespace

void RecordingManagerDelegate::syncConfigurationStartedBackgroundSyncWithController(
    const std::shared_ptr<HMSyncController> &controller)
{
    add(QStringLiteral("start ") + controller->controllerConfiguration()->configurationId());
}

void RecordingManagerDelegate::syncConfigurationFinishedBackgroundSyncWithController(
    const std::shared_ptr<HMSyncController> &controller)
{
    const bool errored = controller->syncStage() == HMSyncStage::Errored;
    add(QStringLiteral("finish ") + controller->controllerConfiguration()->configurationId()
        + (errored ? QStringLiteral(" errored") : QString()));
}

QStringList RecordingManagerDelegate::events() const
{
    const std::lock_guard lock(m_mutex);
    return m_events;
}

void RecordingManagerDelegate::add(const QString &event)
{
    const std::lock_guard lock(m_mutex);
    m_events << event;
}

BackgroundSyncHarness::BackgroundSyncHarness()
{
    for (const char *name : kEnvironment) {
        if (qEnvironmentVariableIsSet(name))
            m_savedEnvironment.insert(name, qgetenv(name));
    }
    testsupport::pointHomeAt(m_home.path());
    GlobalVariables::setIsOutlookSync(false);
    GlobalVariables::setQuillnestErrorStatus(false);

    m_defaults = std::make_unique<platform::UserDefaults>(m_home.path() + QStringLiteral("/defaults.plist"));
    m_profileManager = std::make_shared<HMProfileManager>(*m_defaults);

    HMSyncController::registerTransport(kWiFiSyncMethod, [gate = m_gate](const auto &configuration) {
        FakeTransportScript script;
        {
            const std::lock_guard lock(gate->mutex);
            if (gate->failing.contains(configuration->configurationId()))
                script.answers.insert(FakeCall::Logon, FakeAnswer::ReportError);
        }
        script.onCall = [gate](FakeCall call, quint64) {
            if (call != FakeCall::Logon)
                return;
            std::unique_lock lock(gate->mutex);
            if (!gate->isHolding)
                return;
            const quint64 release = gate->releases;
            ++gate->heldCount;
            gate->released.wait(lock, [&] { return gate->releases != release; });
        };
        return std::make_unique<FakeSyncClient>(std::move(script));
    });
}

BackgroundSyncHarness::~BackgroundSyncHarness()
{
    releaseHeldSyncs();
    HMSyncController::registerTransport(kWiFiSyncMethod, nullptr);
    for (const char *name : kEnvironment) {
        if (m_savedEnvironment.contains(name))
            qputenv(name, m_savedEnvironment.value(name));
        else
            qunsetenv(name);
    }
}

std::shared_ptr<HMSyncControllerConfigurationProtocol> BackgroundSyncHarness::configuration(const QString &filename,
                                                                                           qint64 intervalCode)
{
    std::shared_ptr<HMProfile> profile = m_profiles.value(filename);
    if (!profile) {
        profile = m_profileManager->newProfile();
        profile->setFilename(filename);
        profile->setName(filename);
        profile->setSyncMethodName(QStringLiteral("wifi"));
        profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
        profile->setContactManager(HMContactManager::Apple);
        profile->setContactSyncEnabled(false);
        profile->setCalendarSyncEnabled(false);
        profile->setTaskSyncEnabled(false);
        profile->setMemoSyncEnabled(false);
        profile->setBackgroundSyncEnabled(intervalCode > 0);
        profile->setBackgroundSyncInterval(intervalCode);
        m_profileManager->saveProfile(*profile);
        m_profiles.insert(filename, profile);
    }
    return std::make_shared<HMDataConfigurationSource>(m_profileManager, profile);
}

void BackgroundSyncHarness::failRunsOf(const QString &filename)
{
    const std::lock_guard lock(m_gate->mutex);
    m_gate->failing.insert(filename);
}

void BackgroundSyncHarness::holdRuns()
{
    const std::lock_guard lock(m_gate->mutex);
    m_gate->isHolding = true;
}

int BackgroundSyncHarness::heldCount() const
{
    const std::lock_guard lock(m_gate->mutex);
    return m_gate->heldCount;
}

void BackgroundSyncHarness::stopHolding()
{
    {
        const std::lock_guard lock(m_gate->mutex);
        m_gate->isHolding = false;
    }
    releaseHeldSyncs();
}

void BackgroundSyncHarness::releaseHeldSyncs()
{
    {
        const std::lock_guard lock(m_gate->mutex);
        ++m_gate->releases;
        m_gate->heldCount = 0;
    }
    m_gate->released.notify_all();
}
