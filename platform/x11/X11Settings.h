#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>

// The desktop's settings as its settings daemon publishes them to X clients (the XSETTINGS
// protocol: a property on the owner of the "_XSETTINGS_S<screen>" selection).
namespace X11Settings {

// The integer setting of that name; nothing without a settings daemon or such a setting.
std::optional<std::int32_t> integer(xcb_connection_t* connection, int screen, QByteArrayView name);

// The integer setting of that name in a "_XSETTINGS_SETTINGS" property's bytes.
std::optional<std::int32_t> integerIn(const QByteArray& property, QByteArrayView name);

} // namespace X11Settings
