#include "foundation/HMStringFormatters.h"

#include "platform/foundation/Bundle.h"

namespace {

QString numberWithSuffix(qint64 number, const char *suffix)
{
    return QString::number(number) + QLatin1String(suffix);
}

} // namespace

QString HMStringFormatters::ordinalWordForInteger(qint64 number)
{
    switch (number) {
    case 1:
        return localizedWord(QStringLiteral("first"));
    case 2:
        return localizedWord(QStringLiteral("other"));
    case 3:
        return localizedWord(QStringLiteral("third"));
    case 4:
        return localizedWord(QStringLiteral("fourth"));
    case 5:
        return localizedWord(QStringLiteral("fifth"));
    default:
        return numberWithSuffix(number, "th");
    }
}

QString HMStringFormatters::ordinalForInteger(qint64 number)
{
    if (number == 0)
        return QString(QLatin1String(""));
    // The suffix follows the last two digits: 11, 12 and 13 take "th" (11th), the other ones ending in
    // 1, 2 and 3 take "st", "nd" and "rd" (21st, 22nd, 23rd).
    const qint64 lastTwoDigits = number < 0 ? -(number % 100) : number % 100;
    if (lastTwoDigits >= 11 && lastTwoDigits <= 13)
        return numberWithSuffix(number, "th");
    switch (lastTwoDigits % 10) {
    case 1:
        return numberWithSuffix(number, "st");
    case 2:
        return numberWithSuffix(number, "nd");
    case 3:
        return numberWithSuffix(number, "rd");
    default:
        return numberWithSuffix(number, "th");
    }
}

QString HMStringFormatters::monthNameForInteger(qint64 number)
{
    static const char *const names[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
    if (number < 1 || number > 12)
        return QStringLiteral("<month error>");
    return localizedWord(QLatin1String(names[number - 1]));
}

QString HMStringFormatters::localizedWord(const QString &englishWord)
{
    return platform::Bundle::localizedString(englishWord);
}
