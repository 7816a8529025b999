#pragma once

// What the Outlook autosync check asks of the main window: to synchronise the profile it shows, or to
// ask the cloud service for its change dates. The main window controller implements it; the
// application delegate reaches it through its main-window source. Main thread only.
class HMAutosyncMainWindow
{
public:
    virtual ~HMAutosyncMainWindow() = default;

    // Synchronises the window's current profile, as its Synchronize button does. The sender is the
    // object that asked, for identity only. When the window's own checks refuse, no sync starts.
    virtual void synchronizeProfile(const void *sender) = 0;
    // Starts the cloud change poll for the first selected profile; the answer arrives later as the
    // notification "kHMQuillnestLastModified".
    virtual void shouldAutosyncQuillnest() = 0;
};
