#include "foundation/Lumberjack/DDAbstractDatabaseLogger.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"

#include <utility>

namespace {

constexpr std::chrono::nanoseconds kTimerLeeway{1};

} // namespace

DDAbstractDatabaseLogger::DDAbstractDatabaseLogger(const QString &loggerName)
    : DDAbstractLogger(loggerName)
{
}

DDAbstractDatabaseLogger::~DDAbstractDatabaseLogger()
{
    destroySaveTimer();
    destroyDeleteTimer();
}

template <typename T>
T DDAbstractDatabaseLogger::readSetting(const T &setting) const
{
    if (isOnLoggerQueue())
        return setting;
    T value{};
    loggerQueue()->sync([&value, &setting] { value = setting; });
    return value;
}

void DDAbstractDatabaseLogger::runOnOwnQueue(std::function<void()> block)
{
    if (isOnLoggerQueue()) {
        block();
        return;
    }
    loggerQueue()->async([weakSelf = weak_from_this(), block = std::move(block)] {
        if (const auto self = weakSelf.lock())
            block();
    });
}

// A setting changes on the logger's queue; a change to another value is followed by changed(old value)
// there, which brings the timers and the entries in line with it.
template <typename T, typename Changed>
void DDAbstractDatabaseLogger::changeSetting(T &setting, T value, Changed changed)
{
    runOnOwnQueue([&setting, value, changed = std::move(changed)] {
        if (setting == value)
            return;
        const T old = setting;
        setting = value;
        changed(old);
    });
}

uint64_t DDAbstractDatabaseLogger::saveThreshold() const
{
    return readSetting(m_saveThreshold);
}

void DDAbstractDatabaseLogger::setSaveThreshold(uint64_t saveThreshold)
{
    changeSetting(m_saveThreshold, saveThreshold, [this](uint64_t) {
        if (m_unsavedCount > 0 && m_saveThreshold > 0 && m_unsavedCount >= m_saveThreshold)
            performSaveAndSuspendSaveTimer();
    });
}

double DDAbstractDatabaseLogger::saveInterval() const
{
    return readSetting(m_saveInterval);
}

void DDAbstractDatabaseLogger::setSaveInterval(double saveInterval)
{
    changeSetting(m_saveInterval, saveInterval, [this](double) {
        if (m_saveInterval > 0) {
            if (!m_saveTimer)
                createSuspendedSaveTimer();
            updateAndResumeSaveTimer();
        } else {
            destroySaveTimer();
        }
    });
}

double DDAbstractDatabaseLogger::maxAge() const
{
    return readSetting(m_maxAge);
}

void DDAbstractDatabaseLogger::setMaxAge(double maxAge)
{
    changeSetting(m_maxAge, maxAge, [this](double oldMaxAge) {
        if (m_maxAge <= 0) {
            destroyDeleteTimer();
            return;
        }
        // A shorter age (or a first one) may already make entries due: delete them now.
        if (oldMaxAge <= 0 || m_maxAge < oldMaxAge) {
            performDelete();
            rescheduleOrCreateDeleteTimer();
        }
    });
}

double DDAbstractDatabaseLogger::deleteInterval() const
{
    return readSetting(m_deleteInterval);
}

void DDAbstractDatabaseLogger::setDeleteInterval(double deleteInterval)
{
    changeSetting(m_deleteInterval, deleteInterval, [this](double) {
        if (m_deleteInterval <= 0)
            destroyDeleteTimer();
        else
            rescheduleOrCreateDeleteTimer();
    });
}

bool DDAbstractDatabaseLogger::deleteOnEverySave() const
{
    return readSetting(m_deleteOnEverySave);
}

void DDAbstractDatabaseLogger::setDeleteOnEverySave(bool deleteOnEverySave)
{
    runOnOwnQueue([this, deleteOnEverySave] { m_deleteOnEverySave = deleteOnEverySave; });
}

void DDAbstractDatabaseLogger::savePendingLogEntries()
{
    runOnOwnQueue([this] { performSaveAndSuspendSaveTimer(); });
}

void DDAbstractDatabaseLogger::deleteOldLogEntries()
{
    runOnOwnQueue([this] { performDelete(); });
}

void DDAbstractDatabaseLogger::logMessage(const DDLogMessage &logMessage)
{
    if (!db_log(logMessage))
        return;
    ++m_unsavedCount;
    if (m_saveThreshold > 0 && m_unsavedCount >= m_saveThreshold) {
        performSaveAndSuspendSaveTimer();
    } else if (m_unsavedCount == 1) {
        m_unsavedTime = std::chrono::steady_clock::now();
        updateAndResumeSaveTimer();
    }
}

void DDAbstractDatabaseLogger::didAddLogger()
{
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void DDAbstractDatabaseLogger::willRemoveLogger()
{
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void DDAbstractDatabaseLogger::flush()
{
    performSaveAndSuspendSaveTimer();
}

bool DDAbstractDatabaseLogger::db_log(const DDLogMessage &)
{
    return false;
}

void DDAbstractDatabaseLogger::db_save()
{
}

void DDAbstractDatabaseLogger::db_delete()
{
}

void DDAbstractDatabaseLogger::db_saveAndDelete()
{
}

void DDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer()
{
    if (m_unsavedCount > 0) {
        if (m_deleteOnEverySave)
            db_saveAndDelete();
        else
            db_save();
    }
    m_unsavedCount = 0;
    m_unsavedTime.reset();
    if (m_saveTimer && !m_isSaveTimerSuspended) {
        m_saveTimer->suspend();
        m_isSaveTimerSuspended = true;
    }
}

void DDAbstractDatabaseLogger::createSuspendedSaveTimer()
{
    if (m_saveTimer || m_saveInterval <= 0)
        return;
    m_saveTimer = platform::DispatchTimer::create(loggerQueue());
    m_saveTimer->setEventHandler([weakSelf = weak_from_this()] {
        if (const auto self = std::static_pointer_cast<DDAbstractDatabaseLogger>(weakSelf.lock()))
            self->performSaveAndSuspendSaveTimer();
    });
    // A new source starts suspended.
    m_isSaveTimerSuspended = true;
}

void DDAbstractDatabaseLogger::updateAndResumeSaveTimer()
{
    if (!m_saveTimer || m_saveInterval <= 0 || !m_unsavedTime)
        return;
    const auto interval = platform::durationFromSeconds(m_saveInterval);
    const auto untilFirst = *m_unsavedTime + interval - std::chrono::steady_clock::now();
    m_saveTimer->schedule(std::max(untilFirst, platform::DispatchDuration::zero()), interval, kTimerLeeway);
    if (m_isSaveTimerSuspended) {
        m_saveTimer->resume();
        m_isSaveTimerSuspended = false;
    }
}

void DDAbstractDatabaseLogger::destroySaveTimer()
{
    if (!m_saveTimer)
        return;
    m_saveTimer->cancel();
    m_saveTimer.reset();
    m_isSaveTimerSuspended = false;
}

void DDAbstractDatabaseLogger::performDelete()
{
    if (m_maxAge <= 0)
        return;
    db_delete();
    m_lastDeleteTime = std::chrono::steady_clock::now();
}

void DDAbstractDatabaseLogger::createAndStartDeleteTimer()
{
    if (m_deleteTimer || m_deleteInterval <= 0 || m_maxAge <= 0)
        return;
    m_deleteTimer = platform::DispatchTimer::create(loggerQueue());
    m_deleteTimer->setEventHandler([weakSelf = weak_from_this()] {
        if (const auto self = std::static_pointer_cast<DDAbstractDatabaseLogger>(weakSelf.lock()))
            self->performDelete();
    });
    updateDeleteTimer();
    m_deleteTimer->resume();
}

void DDAbstractDatabaseLogger::updateDeleteTimer()
{
    if (!m_deleteTimer || m_deleteInterval <= 0 || m_maxAge <= 0)
        return;
    const auto interval = platform::durationFromSeconds(m_deleteInterval);
    auto untilFirst = interval;
    if (m_lastDeleteTime)
        untilFirst = *m_lastDeleteTime + interval - std::chrono::steady_clock::now();
    m_deleteTimer->schedule(std::max(untilFirst, platform::DispatchDuration::zero()), interval, kTimerLeeway);
}

// The delete timer follows the current settings: rescheduled when it runs, made when it does not.
void DDAbstractDatabaseLogger::rescheduleOrCreateDeleteTimer()
{
    if (m_deleteTimer)
        updateDeleteTimer();
    else
        createAndStartDeleteTimer();
}

void DDAbstractDatabaseLogger::destroyDeleteTimer()
{
    if (!m_deleteTimer)
        return;
    m_deleteTimer->cancel();
    m_deleteTimer.reset();
}
