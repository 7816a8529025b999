#include "platform/applescript/NSAppleScript.h"

#include "platform/applescript/AppleEventSocket.h"
#include "platform/foundation/Clock.h"

#include <QLocale>

namespace platform {

namespace {

const QString kTimeTestSource = QStringLiteral("set timeStr to time string of (current date)\nreturn timeStr");

// The time as the platform's "time string" writes it: with the locale's AM/PM when its short time
// format uses one.
QString timeString()
{
    const QLocale locale = QLocale::system();
    const QTime time = Clock::now().toLocalTime().time();
    const bool usesDayPeriod = locale.timeFormat(QLocale::ShortFormat).contains(u'a', Qt::CaseInsensitive);
    return usesDayPeriod ? locale.toString(time, QStringLiteral("h:mm:ss AP")) : locale.toString(time, QStringLiteral("HH:mm:ss"));
}

// Reads a quoted reference from position, honouring \" and \\ escapes; the position after the closing quote.
qsizetype readQuoted(const QString &text, qsizetype position, QString &value)
{
    if (position >= text.size() || text.at(position) != u'"')
        return -1;
    for (qsizetype i = position + 1; i < text.size(); ++i) {
        const QChar character = text.at(i);
        if (character == u'\n')
            return -1;
        if (character == u'"')
            return i + 1;
        if (character == u'\\' && i + 1 < text.size())
            value += text.at(++i);
        else
            value += character;
    }
    return -1;
}

} // namespace

QString NSAppleScript::applicationReference(const QString &source)
{
    static const QString prefix = QStringLiteral("tell application ");
    // A script may prepare values before it tells the application: its first tell line names it.
    qsizetype start = 0;
    while (!QStringView(source).mid(start).startsWith(prefix)) {
        start = source.indexOf(u'\n', start);
        if (start < 0)
            return QString();
        ++start;
    }
    QString reference;
    const qsizetype end = readQuoted(source, start + prefix.size(), reference);
    if (end < 0 || reference.isEmpty())
        return QString();
    const QStringView rest = QStringView(source).mid(end);
    if (!rest.isEmpty() && !rest.startsWith(u'\n') && !rest.startsWith(u" to "))
        return QString();
    return reference;
}

NSAppleEventDescriptor NSAppleScript::executeAndReturnError(std::optional<NSAppleScriptError> *errorInfo) const
{
    if (errorInfo)
        errorInfo->reset();
    if (m_source == kTimeTestSource)
        return NSAppleEventDescriptor::descriptorWithString(timeString());
    const QString reference = applicationReference(m_source);
    if (reference.isEmpty()) {
        if (errorInfo) {
            const QString message = QStringLiteral("Expected \"tell application\" but found \"%1\".")
                                        .arg(m_source.section(u'\n', 0, 0).left(40));
            *errorInfo = NSAppleScriptError{AppleScriptErrorNumber::SyntaxError, message, message, QString()};
        }
        return {};
    }
    AppleEventWire::Reply reply = AppleEventSocket::exchange(reference, AppleEventWire::scriptRequest(m_source), m_timeout);
    if (auto *error = std::get_if<NSAppleScriptError>(&reply)) {
        if (error->appName.isEmpty())
            error->appName = AppleEventSocket::applicationName(reference);
        if (errorInfo)
            *errorInfo = *error;
        return {};
    }
    return std::get<NSAppleEventDescriptor>(reply);
}

} // namespace platform
