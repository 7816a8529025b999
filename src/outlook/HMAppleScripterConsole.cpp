#include "outlook/HMAppleScripterConsole.h"

#include "platform/foundation/ConsoleLog.h"

using platform::NSAppleEventDescriptor;

namespace HMAppleScripterConsole {

namespace {

// Deeper trees are shown as "..."; replies are at most 64 levels deep, logs need far fewer.
constexpr int kMaxDescribedDepth = 8;

void describeInto(QString &out, const NSAppleEventDescriptor &descriptor, int depth);

void describeItems(QString &out, const NSAppleEventDescriptor &descriptor, bool withKeywords, int depth)
{
    const qint64 count = descriptor.numberOfItems();
    for (qint64 i = 1; i <= count && out.size() <= kMaxLoggedCharacters; ++i) {
        out += i == 1 ? QStringLiteral(" ") : QStringLiteral(", ");
        if (withKeywords)
            out += QStringLiteral("'%1':").arg(platform::fourCharCodeText(descriptor.keywordForDescriptorAtIndex(i)));
        describeInto(out, descriptor.descriptorAtIndex(i), depth + 1);
    }
    out += QStringLiteral(" ");
}

void describeAtom(QString &out, const NSAppleEventDescriptor &descriptor)
{
    using namespace platform::DescriptorType;
    const platform::DescType type = descriptor.descriptorType();
    if (type == UnicodeText || type == UTF8Text || type == Char)
        out += u'"' + descriptor.stringValue() + u'"';
    else if (type == SInt32 || type == SInt64 || type == Float64 || type == LongDateTime || type == Boolean)
        out += descriptor.stringValue();
    else
        out += QStringLiteral("'%1'(%2 bytes)").arg(platform::fourCharCodeText(type)).arg(descriptor.data().size());
}

void describeInto(QString &out, const NSAppleEventDescriptor &descriptor, int depth)
{
    if (depth > kMaxDescribedDepth) {
        out += QStringLiteral("...");
        return;
    }
    switch (descriptor.kind()) {
    case NSAppleEventDescriptor::Kind::Nil:
        out += QStringLiteral("(null)");
        return;
    case NSAppleEventDescriptor::Kind::Atomic:
        describeAtom(out, descriptor);
        return;
    case NSAppleEventDescriptor::Kind::List:
        out += u'[';
        describeItems(out, descriptor, false, depth);
        out += u']';
        return;
    case NSAppleEventDescriptor::Kind::Event:
        out += QStringLiteral("'%1'\\'%2'").arg(platform::fourCharCodeText(descriptor.eventClass()),
                                               platform::fourCharCodeText(descriptor.eventID()));
        [[fallthrough]];
    case NSAppleEventDescriptor::Kind::Keyed:
        out += u'{';
        describeItems(out, descriptor, true, depth);
        out += u'}';
        return;
    }
}

} // namespace

void log(const QString &line)
{
    platform::consoleLog(line);
}

QString bounded(const QString &text)
{
    if (text.size() <= kMaxLoggedCharacters)
        return text;
    return text.left(kMaxLoggedCharacters) + QStringLiteral("... (%1 characters)").arg(text.size());
}

QString describe(const NSAppleEventDescriptor &descriptor)
{
    QString out;
    describeInto(out, descriptor, 0);
    return bounded(out);
}

QString describe(const QList<QDateTime> &dates)
{
    QString out = QStringLiteral("(");
    for (qsizetype i = 0; i < dates.size() && out.size() <= kMaxLoggedCharacters; ++i) {
        if (i > 0)
            out += QStringLiteral(", ");
        out += dates[i].isValid() ? dates[i].toString(Qt::ISODate) : QStringLiteral("(null)");
    }
    return bounded(out + u')');
}

} // namespace HMAppleScripterConsole
