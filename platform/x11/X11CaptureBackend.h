#pragma once

#include "media/CaptureBackend.h"
#include "platform/x11/X11Monitors.h"

#include <QByteArray>
#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

// Screen capture on an X11 display: the RandR 1.5 monitors are the displays, the Xft.dpi setting
// their scale and the primary monitor the main one; each capture runs as an X11CaptureStream.
// RandR tells of output and screen changes; monitors set with "xrandr --setmonitor" come without
// an event, so the list is also compared every 2 seconds. Whichever question reads the server
// first finds a change: onScreensChanged fires once for it, from the event loop.
class X11CaptureBackend final : public CaptureBackend {
public:
    // The display named by DISPLAY when none is given.
    explicit X11CaptureBackend(QByteArray displayName = qgetenv("DISPLAY"));
    ~X11CaptureBackend() override;
    X11CaptureBackend(const X11CaptureBackend&) = delete;
    X11CaptureBackend& operator=(const X11CaptureBackend&) = delete;

    static constexpr std::chrono::seconds pollInterval{2};

    // The display opens and has what capture needs (RandR 1.5, DAMAGE, XFIXES).
    bool isAvailable();

    Result<std::vector<Display>> shareableDisplays() override;
    std::vector<Screen> screens() override;
    std::uint32_t mainDisplayID() override;
    std::optional<QRect> displayBounds(std::uint32_t displayID) override;
    Result<std::unique_ptr<Stream>> startStream(const Target& target, Sink& sink) override;

    // The monitors as last read.
    const std::vector<X11Monitor>& monitors() const { return m_monitors; }

private:
    bool connect();
    void disconnect();
    // Reads the monitors again; says whether that worked. A reading that differs from the one
    // last announced is announced.
    bool refresh();
    void readEvents();

    const QByteArray m_displayName;
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::uint8_t m_randrEvent = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_poll;
    std::vector<X11Monitor> m_monitors;
    double m_scale = 1.0;
    // What onScreensChanged last told of (the first reading counts as told).
    std::optional<std::pair<std::vector<X11Monitor>, double>> m_announced;
    QTimer m_announce;
};
