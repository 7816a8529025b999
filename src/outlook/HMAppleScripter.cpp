#include "outlook/HMAppleScripter.h"

#include "foundation/GlobalVariables.h"
#include "outlook/HMAppleScripterConsole.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"

#include <condition_variable>
#include <mutex>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScriptError;
using platform::NSUserAppleScriptTask;
namespace Console = HMAppleScripterConsole;

namespace {

const QString kDefaultApplication = QStringLiteral("Microsoft Outlook");
const QString kScriptName = QStringLiteral("automation.scpt");

// Waits are cut into short slices so that a moved clock is seen promptly.
constexpr std::chrono::milliseconds kWaitSlice{20};

QString errorText(const std::optional<NSAppleScriptError> &error)
{
    if (!error)
        return QStringLiteral("(null)");
    return QStringLiteral("%1 (%2)").arg(error->message).arg(error->number);
}

// One synchronous run: the completion handler (on the task's thread) hands its result over here; the
// waiting thread takes it, or gives up at the deadline. Shared by both, so a completion that comes
// after the waiter gave up writes into memory that is still there.
class SynchronousRun final
{
public:
    void finish(const NSAppleEventDescriptor &result, const std::optional<NSAppleScriptError> &error)
    {
        bool shouldLog = false;
        {
            const std::lock_guard lock(m_mutex);
            m_result = result;
            // A waiter that has not given up yet waits for the line too, so that it is written
            // before the run returns.
            shouldLog = result.isNil() && !m_abandoned;
            m_reporting = shouldLog;
        }
        if (shouldLog)
            Console::log(QStringLiteral("ERROR: %1").arg(errorText(error)));
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
            m_reporting = false;
        }
        m_finished.notify_all();
    }

    // The kept result, or nil when the deadline on platform::Clock passed first.
    NSAppleEventDescriptor wait(const QDateTime &deadline)
    {
        {
            std::unique_lock lock(m_mutex);
            while (!m_done && (m_reporting || platform::Clock::now() < deadline))
                m_finished.wait_for(lock, kWaitSlice);
            if (m_done)
                return m_result;
            m_abandoned = true;
        }
        Console::log(QStringLiteral("ERROR: The script did not finish within %1 seconds. (-1712)")
                         .arg(HMAppleScripter::kSynchronousTimeout.count()));
        return {};
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_done = false;
    bool m_reporting = false; // the handler is writing its error line
    bool m_abandoned = false;
    NSAppleEventDescriptor m_result;
};

} // namespace

QDateTime HMAppleScripter::distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

HMAppleScripter::HMAppleScripter()
{
    m_scriptTask = initializeNewScript();
    const QString reference = GlobalVariables::getOutlookApplicationReference();
    m_appReferenceString = reference.isEmpty() ? kDefaultApplication : reference;
}

// The task waits for its thread; that thread's exchange ends by the Apple-event timeout.
HMAppleScripter::~HMAppleScripter() = default;

std::unique_ptr<NSUserAppleScriptTask> HMAppleScripter::initializeNewScript()
{
    const char *operation = "-[HMAppleScripter initializeNewScript]";
    const platform::Result<QString> folder = NSUserAppleScriptTask::applicationScriptsDirectory();
    if (!folder) {
        Console::log(QStringLiteral("%1 no Application Scripts folder error = %2")
                         .arg(QLatin1String(operation), folder.error().message()));
        return nullptr;
    }
    platform::Result<std::unique_ptr<NSUserAppleScriptTask>> task =
        NSUserAppleScriptTask::initWithURL(*folder + u'/' + kScriptName);
    if (!task) {
        Console::log(QStringLiteral("%1 no AppleScript task error = %2").arg(QLatin1String(operation), task.error().message()));
        return nullptr;
    }
    return std::move(task).value();
}

NSAppleEventDescriptor HMAppleScripter::executeScriptSynchronously(const NSAppleEventDescriptor &event)
{
    m_scriptTask.reset();
    m_scriptTask = initializeNewScript();
    if (!m_scriptTask)
        return {};
    const QDateTime deadline = platform::Clock::now().addSecs(kSynchronousTimeout.count());
    const auto run = std::make_shared<SynchronousRun>();
    m_scriptTask->executeWithAppleEvent(event, [run](const NSAppleEventDescriptor &result,
                                                     const std::optional<NSAppleScriptError> &error) {
        run->finish(result, error);
    });
    return run->wait(deadline);
}

void HMAppleScripter::executeScriptTaskFromEvent(const NSAppleEventDescriptor &event)
{
    Console::log(QStringLiteral("event.eventID %1").arg(event.eventID()));
    m_scriptTask.reset();
    m_scriptTask = initializeNewScript();
    if (!m_scriptTask)
        return;
    // Nobody waits: the handler only reports a failure. It holds nothing of the scripter, which may
    // be gone by the time it runs (the task then waits for it).
    m_scriptTask->executeWithAppleEvent(event, [](const NSAppleEventDescriptor &result,
                                                  const std::optional<NSAppleScriptError> &error) {
        if (result.isNil())
            Console::log(QStringLiteral("ERROR: %1").arg(errorText(error)));
    });
}

void HMAppleScripter::setScriptTask(std::unique_ptr<NSUserAppleScriptTask> task)
{
    m_scriptTask = std::move(task);
}

void HMAppleScripter::setAppleScriptDateFormatter(std::unique_ptr<platform::DateFormatter> formatter)
{
    m_appleScriptDateFormatter = std::move(formatter);
}

platform::DateFormatter &HMAppleScripter::ensureAppleScriptDateFormatter()
{
    if (!m_appleScriptDateFormatter) {
        m_appleScriptDateFormatter = std::make_unique<platform::DateFormatter>(
            GlobalVariables::getSystemDateFormat(), platform::Locale(QStringLiteral("en_US_POSIX")),
            platform::TimeZone::defaultTimeZone());
    }
    return *m_appleScriptDateFormatter;
}

std::optional<QDateTime> HMAppleScripter::dateFromEventDescriptor(const NSAppleEventDescriptor &descriptor)
{
    return descriptor.dateValue();
}

const QString &HMAppleScripter::ensureAppReferenceString()
{
    if (m_appReferenceString.isNull())
        m_appReferenceString = kDefaultApplication;
    return m_appReferenceString;
}

namespace {

NSAppleEventDescriptor handlerEvent(const QString &handler, const NSAppleEventDescriptor &arguments)
{
    NSAppleEventDescriptor event = NSAppleEventDescriptor::appleEventWithEventClass(
        platform::kASAppleScriptSuite, platform::kASSubroutineEvent, NSAppleEventDescriptor::currentProcessDescriptor(),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    event.setParamDescriptor(NSAppleEventDescriptor::descriptorWithString(handler), platform::Keyword::SubroutineName);
    event.setParamDescriptor(arguments, platform::Keyword::DirectObject);
    return event;
}

void appendTexts(NSAppleEventDescriptor &list, const QStringList &texts)
{
    for (const QString &text : texts)
        list.insertDescriptor(NSAppleEventDescriptor::descriptorWithString(text), list.numberOfItems() + 1);
}

// The operations take 64-bit positions; the events carry their low 32 bits.
NSAppleEventDescriptor position(qint64 value)
{
    return NSAppleEventDescriptor::descriptorWithInt32(qint32(quint32(quint64(value) & 0xFFFFFFFFu)));
}

} // namespace

NSAppleEventDescriptor HMAppleScripter::applicationCall(const QString &handler, const QStringList &arguments)
{
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    appendTexts(list, QStringList{ensureAppReferenceString()} + arguments);
    return handlerEvent(handler, list);
}

NSAppleEventDescriptor HMAppleScripter::plainCall(const QString &handler, const QStringList &arguments)
{
    ensureAppReferenceString();
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    appendTexts(list, arguments);
    return handlerEvent(handler, list);
}

NSAppleEventDescriptor HMAppleScripter::rangeCall(const QString &handler, const QStringList &leading, qint64 start,
                                                  qint64 end, const QStringList &trailing)
{
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    appendTexts(list, QStringList{ensureAppReferenceString()} + leading);
    list.insertDescriptor(position(start), list.numberOfItems() + 1);
    list.insertDescriptor(position(end), list.numberOfItems() + 1);
    appendTexts(list, trailing);
    return handlerEvent(handler, list);
}
