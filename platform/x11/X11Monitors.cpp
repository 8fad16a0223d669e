#include "platform/x11/X11Monitors.h"

#include "platform/x11/XcbReply.h"

#include <QList>

#include <xcb/randr.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

QString atomName(xcb_connection_t* connection, xcb_atom_t atom)
{
    auto name = xcbReply(xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
    if (!name) {
        return {};
    }
    return QString::fromUtf8(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name)
{
    auto atom = xcbReply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QByteArray outputEdid(xcb_connection_t* connection, xcb_randr_output_t output, xcb_atom_t edidAtom)
{
    if (edidAtom == XCB_ATOM_NONE) {
        return {};
    }
    auto property = xcbReply(xcb_randr_get_output_property_reply(
        connection, xcb_randr_get_output_property(connection, output, edidAtom, XCB_ATOM_ANY, 0, 64, 0, 0),
        nullptr));
    if (!property) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(xcb_randr_get_output_property_data(property.get())),
                      xcb_randr_get_output_property_data_length(property.get()));
}

} // namespace

namespace X11Monitors {

QString edidName(const QByteArray& edid)
{
    if (edid.size() < 128) {
        return {};
    }
    for (int offset : {54, 72, 90, 108}) {
        const auto* block = reinterpret_cast<const unsigned char*>(edid.constData()) + offset;
        if (block[0] == 0 && block[1] == 0 && block[2] == 0 && block[3] == 0xFC) {
            QByteArray name(reinterpret_cast<const char*>(block + 5), 13);
            const qsizetype end = name.indexOf('\n');
            if (end >= 0) {
                name.truncate(end);
            }
            return QString::fromLatin1(name).trimmed();
        }
    }
    return {};
}

double scaleFromResources(const QByteArray& resources)
{
    for (const QByteArray& line : resources.split('\n')) {
        if (!line.startsWith("Xft.dpi:")) {
            continue;
        }
        bool ok = false;
        const double dpi = line.mid(8).trimmed().toDouble(&ok);
        if (ok && dpi > 0) {
            return dpi / 96.0;
        }
    }
    return 1.0;
}

double scale(xcb_connection_t* connection, xcb_window_t root)
{
    auto property = xcbReply(xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0, 1 << 20),
        nullptr));
    if (!property) {
        return 1.0;
    }
    return scaleFromResources(QByteArray(static_cast<const char*>(xcb_get_property_value(property.get())),
                                         xcb_get_property_value_length(property.get())));
}

std::optional<std::vector<X11Monitor>> read(xcb_connection_t* connection, xcb_window_t root)
{
    auto version = xcbReply(
        xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    if (!version || (version->major_version == 1 && version->minor_version < 5)) {
        return std::nullopt;
    }
    auto monitors = xcbReply(
        xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
    if (!monitors) {
        return std::nullopt;
    }
    const xcb_atom_t edidAtom = internAtom(connection, "EDID");
    std::vector<X11Monitor> list;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        X11Monitor monitor;
        monitor.rect = QRect(info->x, info->y, info->width, info->height);
        monitor.primary = info->primary != 0;
        const QString randrName = atomName(connection, info->name);
        if (xcb_randr_monitor_info_outputs_length(info) > 0) {
            const xcb_randr_output_t output = xcb_randr_monitor_info_outputs(info)[0];
            monitor.id = output;
            monitor.name = edidName(outputEdid(connection, output, edidAtom));
        } else {
            monitor.id = info->name;
        }
        if (monitor.name.isEmpty()) {
            monitor.name = randrName;
        }
        list.push_back(monitor);
    }
    return list;
}

} // namespace X11Monitors
