#pragma once

#include "platform/appkit/LoginItems.h"

#include <optional>

namespace platform {
class Application;
}

// The application's login entry: an XDG autostart entry that starts this program with the login
// argument, so the start is known as a login launch. The application's entry is the one whose program
// is this program's executable. Main thread only.

// The name of the application's own entry, "com.harrowmere.Harrowmere.desktop".
inline constexpr char kLoginItemDesktopId[] = "com.harrowmere.Harrowmere";

// The application's entry among the login items, or none.
std::optional<platform::LoginItem> loginItem(const platform::Application &application,
                                             const platform::LoginItems &loginItems = platform::LoginItems());
bool launchAtLogin(const platform::Application &application,
                   const platform::LoginItems &loginItems = platform::LoginItems());
// Switching on removes every entry that starts a copy of the application (its program's path names
// Harrowmere) and adds this program's; switching off removes this program's entry. Nothing changes
// when the wish is already the state.
void setLaunchAtLogin(const platform::Application &application, bool shouldLaunch,
                      platform::LoginItems loginItems = platform::LoginItems());
