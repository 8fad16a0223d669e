#include "platform/x11/X11Keymap.h"

#include "platform/x11/XcbReply.h"

// The XKB protocol header names a field "explicit", which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>

X11Keymap::X11Keymap(const QByteArray& display)
    : m_connection(xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr))
{
    xcb_connection_t* connection = m_connection;
    if (xcb_connection_has_error(connection) ||
        !xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                     nullptr)) {
        return;
    }
    m_device = xkb_x11_get_core_keyboard_device_id(connection);
    m_context = xkb_context_new(
        static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    reload();
}

X11Keymap::~X11Keymap()
{
    xkb_keymap_unref(m_keymap);
    xkb_context_unref(m_context);
    xcb_disconnect(m_connection);
}

void X11Keymap::reload()
{
    if (!m_context || m_device < 0) {
        return;
    }
    if (xkb_keymap* fresh =
            xkb_x11_keymap_new_from_device(m_context, m_connection, m_device, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
        xkb_keymap_unref(m_keymap);
        m_keymap = fresh;
    }
}

std::optional<std::uint8_t> X11Keymap::keycode(const char* name) const
{
    if (!m_keymap) {
        return std::nullopt;
    }
    const xkb_keycode_t keycode = xkb_keymap_key_by_name(m_keymap, name);
    if (keycode == XKB_KEYCODE_INVALID || keycode > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(keycode);
}

X11Keymap::Characters X11Keymap::characters(std::uint16_t modifiers, int group) const
{
    Characters result{};
    if (!m_keymap) {
        return result;
    }
    const std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(m_keymap),
                                                                       &xkb_state_unref);
    // The keymap of an X server numbers its real modifiers as the core protocol does.
    xkb_state_update_mask(state.get(), modifiers, 0, 0, 0, 0, static_cast<xkb_layout_index_t>(group));
    for (xkb_keycode_t keycode = xkb_keymap_min_keycode(m_keymap);
         keycode <= xkb_keymap_max_keycode(m_keymap) && keycode < result.size(); ++keycode) {
        result[keycode] = xkb_state_key_get_utf32(state.get(), keycode);
    }
    return result;
}

X11Keymap::Translation X11Keymap::translate(std::uint8_t keycode, std::uint16_t eventState) const
{
    if (!m_keymap) {
        return {};
    }
    const std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(m_keymap),
                                                                       &xkb_state_unref);
    xkb_state_update_mask(state.get(), eventState & 0xFF, 0, 0, 0, 0, (eventState >> 13) & 3);
    return {xkb_state_key_get_one_sym(state.get(), keycode), xkb_state_key_get_utf32(state.get(), keycode)};
}

std::optional<X11Keymap::State> X11Keymap::state() const
{
    if (m_device < 0) {
        return std::nullopt;
    }
    const auto reply = xcbReply(xcb_xkb_get_state_reply(
        m_connection, xcb_xkb_get_state(m_connection, XCB_XKB_ID_USE_CORE_KBD), nullptr));
    if (!reply) {
        return std::nullopt;
    }
    return State{reply->lockedMods, reply->group};
}

void X11Keymap::lockCaps(bool locked)
{
    if (m_device < 0) {
        return;
    }
    xcb_xkb_latch_lock_state(m_connection, XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK,
                             locked ? XCB_MOD_MASK_LOCK : 0, 0, 0, 0, 0, 0);
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}
