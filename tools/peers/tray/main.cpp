// tray_peer: the desktop's system tray for an X display that has none (Xvfb in tests and scripts).
// It takes the _NET_SYSTEM_TRAY_S<screen> selection, announces itself with the MANAGER message, and
// docks every icon window that asks (SYSTEM_TRAY_REQUEST_DOCK) into a strip at the top right of the
// screen, as a panel's tray area does, so status items show on the screen. Prints "tray_peer ready"
// once it owns the selection and "tray_peer docked <window>" for each icon; runs until killed.
// Usage: tray_peer [--panel RRGGBB]   (the strip's colour, light grey by default: a dark panel tests
// that icons stay visible on it).
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRequestDock = 0;
constexpr uint16_t kIconSize = 24;
constexpr uint16_t kStripWidth = 144;
constexpr uint16_t kMaxIcons = kStripWidth / kIconSize;
constexpr uint32_t kDefaultStripColour = 0xd8d8d8;

struct FreeDeleter
{
    void operator()(void *pointer) const { std::free(pointer); }
};

xcb_atom_t internAtom(xcb_connection_t *connection, const std::string &name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(name.size()), name.c_str());
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_window_t makeStrip(xcb_connection_t *connection, const xcb_screen_t &screen, uint32_t colour)
{
    const xcb_window_t strip = xcb_generate_id(connection);
    const uint32_t values[] = {colour, 1, XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, strip, screen.root, int16_t(screen.width_in_pixels - kStripWidth),
                      0, kStripWidth, kIconSize, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen.root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(connection, strip);
    return strip;
}

void announce(xcb_connection_t *connection, const xcb_screen_t &screen, xcb_atom_t manager, xcb_atom_t selection,
              xcb_window_t owner)
{
    xcb_client_message_event_t message;
    std::memset(&message, 0, sizeof message);
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = screen.root;
    message.type = manager;
    message.data.data32[0] = XCB_CURRENT_TIME;
    message.data.data32[1] = selection;
    message.data.data32[2] = owner;
    xcb_send_event(connection, 0, screen.root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char *>(&message));
}

int16_t slotX(size_t slot)
{
    return int16_t(kStripWidth - kIconSize * (slot + 1));
}

void dock(xcb_connection_t *connection, xcb_window_t strip, xcb_window_t icon, std::vector<xcb_window_t> &icons)
{
    if (icons.size() >= kMaxIcons)
        return;
    const int16_t x = slotX(icons.size());
    icons.push_back(icon);
    xcb_reparent_window(connection, icon, strip, x, 0);
    const uint32_t size[] = {kIconSize, kIconSize};
    xcb_configure_window(connection, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_map_window(connection, icon);
    xcb_flush(connection);
    std::printf("tray_peer docked %u\n", icon);
    std::fflush(stdout);
}

// An icon window that went (its program ended, or took it out of the strip) frees its slot; the
// others close up.
void undock(xcb_connection_t *connection, xcb_window_t icon, std::vector<xcb_window_t> &icons)
{
    const auto found = std::find(icons.begin(), icons.end(), icon);
    if (found == icons.end())
        return;
    icons.erase(found);
    for (size_t slot = 0; slot < icons.size(); ++slot) {
        const uint32_t position[] = {uint32_t(slotX(slot)), 0};
        xcb_configure_window(connection, icons[slot], XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
    }
    xcb_flush(connection);
}

} // namespace

// The strip's colour from "--panel RRGGBB", or the default.
uint32_t stripColour(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--panel") == 0)
        return uint32_t(std::strtoul(argv[2], nullptr, 16)) & 0xffffff;
    return kDefaultStripColour;
}

int main(int argc, char **argv)
{
    int screenNumber = 0;
    xcb_connection_t *const connection = xcb_connect(nullptr, &screenNumber);
    if (connection == nullptr || xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "tray_peer: cannot open the display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int index = 0; index < screenNumber && screens.rem > 0; ++index)
        xcb_screen_next(&screens);
    const xcb_screen_t &screen = *screens.data;
    const xcb_atom_t selection = internAtom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = internAtom(connection, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t manager = internAtom(connection, "MANAGER");
    const xcb_window_t strip = makeStrip(connection, screen, stripColour(argc, argv));
    xcb_set_selection_owner(connection, strip, selection, XCB_CURRENT_TIME);
    announce(connection, screen, manager, selection, strip);
    xcb_flush(connection);
    std::printf("tray_peer ready\n");
    std::fflush(stdout);

    std::vector<xcb_window_t> icons;
    while (xcb_generic_event_t *raw = xcb_wait_for_event(connection)) {
        const std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(raw);
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_DESTROY_NOTIFY)
            undock(connection, reinterpret_cast<const xcb_destroy_notify_event_t *>(event.get())->window, icons);
        if (type == XCB_REPARENT_NOTIFY) {
            const auto *const moved = reinterpret_cast<const xcb_reparent_notify_event_t *>(event.get());
            if (moved->parent != strip)
                undock(connection, moved->window, icons);
        }
        if (type != XCB_CLIENT_MESSAGE)
            continue;
        const auto *const message = reinterpret_cast<const xcb_client_message_event_t *>(event.get());
        if (message->type == opcode && message->format == 32 && message->data.data32[1] == kRequestDock)
            dock(connection, strip, message->data.data32[2], icons);
    }
    xcb_disconnect(connection);
    return 0;
}
