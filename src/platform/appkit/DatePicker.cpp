#include "platform/appkit/DatePicker.h"

#include <QDateTimeEdit>
#include <QLocale>


namespace platform {

void configureDatePicker(QDateTimeEdit &picker)
{
    const QLocale locale;
    picker.setLocale(locale);
    picker.setTimeSpec(Qt::LocalTime);
    picker.setDisplayFormat(locale.dateTimeFormat(QLocale::ShortFormat));
}

} // namespace platform
