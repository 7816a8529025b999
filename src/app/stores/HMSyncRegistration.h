#pragma once

#include <QString>

class HMProfile;
struct HMQuillnestTiming;

// Makes the sync controller able to run a profile: the transports to the phone and the data sources
// of the desktop stores that other programs read too (the address book's vCard folder, the
// calendars' and reminder lists' iCalendar folders). The application registers all of them when it
// launches; the headless driver registers the stores it is asked to use. Main thread, before a sync
// starts. Nothing here touches a window, so that the headless driver links no windowing library: what
// asks for the user's attention is set by the application (HMContactData::setAttentionRequester).
class HMSyncRegistration final
{
public:
    HMSyncRegistration() = delete;

    // Wi-Fi (sync method 1) and USB through adb (sync method 2), both to the phone's sync port 8090.
    static void registerPhoneTransports();
    // The cloud service (sync method 4) with the given intervals. HM_TLS_CA_FILE names a PEM file of
    // certificates trusted besides the system's; HM_QUILLNEST_HOST ("host:port") replaces the host.
    static void registerCloudTransport(const HMQuillnestTiming &timing);
    // Contacts on the address book's vCard folder, events and tasks on the iCalendar folders; an
    // empty folder keeps the saved choice (or its default under the data folder).
    static void registerDesktopStores(const QString &contactsFolder = {}, const QString &calendarsFolder = {});
    static void registerContactStore(const QString &folder);
    static void registerCalendarStores(const QString &folder);

    // Where the profile names no calendar or reminder list that exists, chooses the first writable
    // one (made when there is none) to read and to write; events and reminders get folders of their
    // own, as khal and todoman expect. Answers whether the profile changed, so the caller saves it.
    static bool chooseCalendars(HMProfile &profile);
};
