#pragma once

#include <QByteArray>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <vector>

// The monitors of an X screen as RandR 1.5 lists them.
struct X11Monitor {
    // The RandR output of the monitor's first output, or the monitor's name atom when it has no
    // output (a monitor made with "xrandr --setmonitor NAME GEOMETRY none").
    std::uint32_t id = 0;
    // The product name from the EDID when the output has one, else the monitor's RandR name.
    QString name;
    // In pixels, in root-window coordinates.
    QRect rect;
    bool primary = false;

    bool operator==(const X11Monitor&) const = default;
};

namespace X11Monitors {

// Nothing when RandR 1.5 is missing or the server cannot be asked.
std::optional<std::vector<X11Monitor>> read(xcb_connection_t* connection, xcb_window_t root);

// The desktop's scale: Xft.dpi / 96 from the root window's resources, 1.0 when unset.
double scale(xcb_connection_t* connection, xcb_window_t root);
double scaleFromResources(const QByteArray& resources);

// The monitor name of an EDID block (descriptor 0xFC), empty when it has none.
QString edidName(const QByteArray& edid);

} // namespace X11Monitors
