#pragma once

class QDateTimeEdit;

namespace platform {

// Makes the editor a date picker as the platform shows one: its text is the date and time in the
// user's locale's short style (such as "12/9/26, 9:30 PM" or "09.12.26, 21:30"), in the system's time
// zone. Main thread only.
void configureDatePicker(QDateTimeEdit &picker);

} // namespace platform
