#include "platform/x11/X11CaptureBackend.h"

#include "platform/x11/X11CaptureStream.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <cmath>
#include <cstdlib>

using namespace Qt::StringLiterals;

X11CaptureBackend::X11CaptureBackend(QByteArray displayName) : m_displayName(std::move(displayName))
{
    m_poll.setInterval(pollInterval);
    QObject::connect(&m_poll, &QTimer::timeout, &m_poll, [this] {
        if (m_connection) {
            refresh();
        }
    });
    m_poll.start();
    // Announced from the event loop: a change is often found in the middle of a question a
    // listener asked (the display list, a display's bounds).
    m_announce.setSingleShot(true);
    m_announce.setInterval(0);
    QObject::connect(&m_announce, &QTimer::timeout, &m_announce, [this] {
        if (onScreensChanged) {
            onScreensChanged();
        }
    });
    connect();
}

X11CaptureBackend::~X11CaptureBackend()
{
    disconnect();
}

bool X11CaptureBackend::connect()
{
    if (m_connection) {
        if (!xcb_connection_has_error(m_connection)) {
            return true;
        }
        disconnect();
    }
    xcb_connection_t* connection =
        xcb_connect(m_displayName.isEmpty() ? nullptr : m_displayName.constData(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    m_connection = connection;
    m_root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    if (const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
        randr && randr->present) {
        m_randrEvent = randr->first_event;
        xcb_randr_select_input(connection, m_root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
        xcb_flush(connection);
    }
    m_notifier =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { readEvents(); });
    refresh();
    return true;
}

void X11CaptureBackend::disconnect()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier.release()->deleteLater();
    }
    if (m_connection) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
    }
}

bool X11CaptureBackend::refresh()
{
    if (!connect()) {
        return false;
    }
    std::optional<std::vector<X11Monitor>> monitors = X11Monitors::read(m_connection, m_root);
    if (!monitors) {
        if (xcb_connection_has_error(m_connection)) {
            disconnect();
        }
        return false;
    }
    m_monitors = std::move(*monitors);
    m_scale = X11Monitors::scale(m_connection, m_root);
    if (!m_announced) {
        m_announced.emplace(m_monitors, m_scale);
    } else if (m_announced->first != m_monitors || m_announced->second != m_scale) {
        m_announced.emplace(m_monitors, m_scale);
        m_announce.start();
    }
    return true;
}

void X11CaptureBackend::readEvents()
{
    bool screensChanged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        const std::uint8_t type = event->response_type & 0x7F;
        screensChanged = screensChanged || type == m_randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                         type == m_randrEvent + XCB_RANDR_NOTIFY;
        std::free(event);
    }
    if (xcb_connection_has_error(m_connection)) {
        // The X server went away; the next question reconnects if it is back.
        disconnect();
        return;
    }
    if (screensChanged) {
        refresh();
    }
}

bool X11CaptureBackend::isAvailable()
{
    if (!refresh()) {
        return false;
    }
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(m_connection, &xcb_damage_id);
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(m_connection, &xcb_xfixes_id);
    return damage && damage->present && fixes && fixes->present;
}

Result<std::vector<CaptureBackend::Display>> X11CaptureBackend::shareableDisplays()
{
    if (!refresh()) {
        return Failure{u"The X display "_s + QString::fromLocal8Bit(m_displayName) +
                       u" cannot be opened or has no RandR 1.5 monitors."_s};
    }
    std::vector<Display> displays;
    for (const X11Monitor& monitor : m_monitors) {
        displays.push_back(Display{monitor.id, std::llround(monitor.rect.width() / m_scale),
                                   std::llround(monitor.rect.height() / m_scale), monitor.rect.width(),
                                   monitor.rect.height()});
    }
    return displays;
}

std::vector<CaptureBackend::Screen> X11CaptureBackend::screens()
{
    std::vector<Screen> screens;
    for (const X11Monitor& monitor : m_monitors) {
        screens.push_back(Screen{monitor.id, m_scale, monitor.name});
    }
    return screens;
}

std::uint32_t X11CaptureBackend::mainDisplayID()
{
    for (const X11Monitor& monitor : m_monitors) {
        if (monitor.primary) {
            return monitor.id;
        }
    }
    return m_monitors.empty() ? 0 : m_monitors.front().id;
}

std::optional<QRect> X11CaptureBackend::displayBounds(std::uint32_t displayID)
{
    refresh();
    for (const X11Monitor& monitor : m_monitors) {
        if (monitor.id == displayID) {
            return monitor.rect;
        }
    }
    return std::nullopt;
}

Result<std::unique_ptr<CaptureBackend::Stream>> X11CaptureBackend::startStream(const Target& target,
                                                                               Sink& sink)
{
    const std::optional<QRect> rect = displayBounds(target.displayID);
    if (!rect) {
        return noDisplay();
    }
    return X11CaptureStream::start(
        m_displayName, target, *rect, [this](std::uint32_t displayID) { return displayBounds(displayID); },
        sink);
}
