#include "outlook/HMAppleScripter.h"

#include "foundation/GlobalVariables.h"
#include "outlook/HMAppleScripterConsole.h"
#include "platform/applescript/AppleEventSocket.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/foundation/DateFormatter.h"

using platform::NSAppleEventDescriptor;
using platform::NSAppleScriptError;
using platform::NSUserAppleScriptTask;
namespace Console = HMAppleScripterConsole;

namespace {

const QString kDefaultApplication = QStringLiteral("Microsoft Outlook");
const QString kScriptName = QStringLiteral("automation.scpt");

static_assert(HMAppleScripter::kSynchronousTimeout == platform::kAppleEventTimeout);

QString errorText(const std::optional<NSAppleScriptError> &error)
{
    if (!error)
        return QStringLiteral("(null)");
    return QStringLiteral("%1 (%2)").arg(error->message).arg(error->number);
}

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

// Every run looks for the script anew. The script is opened where it lies first, so that a run
// costs one open; only when that fails is the folder made (when missing) and the failure told.
std::unique_ptr<NSUserAppleScriptTask> HMAppleScripter::initializeNewScript()
{
    if (const QString folder = NSUserAppleScriptTask::applicationScriptsPath(); !folder.isEmpty()) {
        platform::Result<std::unique_ptr<NSUserAppleScriptTask>> task = NSUserAppleScriptTask::initWithURL(folder + u'/' + kScriptName);
        if (task)
            return std::move(task).value();
    }
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

// The exchange runs on the calling thread, bounded by the Apple-event timeout on platform::Clock: a
// script that never answers ends as "AppleEvent timed out." (-1712) after kSynchronousTimeout, and
// no other thread is left waiting for it.
NSAppleEventDescriptor HMAppleScripter::executeScriptSynchronously(const NSAppleEventDescriptor &event,
                                                                   const platform::NSUserAppleScriptTask::EventAhead &eventAhead)
{
    m_scriptTask.reset();
    m_scriptTask = initializeNewScript();
    if (!m_scriptTask)
        return {};
    const platform::AppleEventWire::Reply reply = m_scriptTask->executeAndWaitWithAppleEvent(event, eventAhead);
    if (const auto *result = std::get_if<NSAppleEventDescriptor>(&reply); result && !result->isNil())
        return *result;
    const auto *error = std::get_if<NSAppleScriptError>(&reply);
    Console::log(QStringLiteral("ERROR: %1").arg(errorText(error ? std::optional(*error) : std::nullopt)));
    return {};
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

NSAppleEventDescriptor HMAppleScripter::handlerCallEvent(const QString &handler, const QStringList &arguments)
{
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    appendTexts(list, arguments);
    return handlerEvent(handler, list);
}

NSAppleEventDescriptor HMAppleScripter::plainCall(const QString &handler, const QStringList &arguments)
{
    ensureAppReferenceString();
    return handlerCallEvent(handler, arguments);
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
