#include "platform/x11/X11Settings.h"

#include "platform/x11/XcbReply.h"

#include <QtEndian>

#include <cstdlib>
#include <memory>

namespace {

xcb_atom_t atom(xcb_connection_t* connection, QByteArrayView name)
{
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

constexpr std::size_t padded(std::size_t length)
{
    return (length + 3) & ~std::size_t(3);
}

// Reads the property's fields in its byte order, never past its end.
class SettingsReader {
public:
    explicit SettingsReader(const QByteArray& bytes)
        : m_bytes(bytes)
        , m_bigEndian(!bytes.isEmpty() && bytes.front() == 1)
    {}

    bool skip(std::size_t count)
    {
        if (count > remaining()) {
            return false;
        }
        m_offset += count;
        return true;
    }
    std::optional<std::uint8_t> card8()
    {
        if (remaining() < 1) {
            return std::nullopt;
        }
        return static_cast<std::uint8_t>(m_bytes[qsizetype(m_offset++)]);
    }
    std::optional<std::uint16_t> card16() { return read<std::uint16_t>(); }
    std::optional<std::uint32_t> card32() { return read<std::uint32_t>(); }
    std::optional<QByteArrayView> bytes(std::size_t count)
    {
        if (count > remaining()) {
            return std::nullopt;
        }
        const QByteArrayView view(m_bytes.constData() + m_offset, qsizetype(count));
        m_offset += count;
        return view;
    }

private:
    std::size_t remaining() const { return std::size_t(m_bytes.size()) - m_offset; }
    template <typename T>
    std::optional<T> read()
    {
        if (remaining() < sizeof(T)) {
            return std::nullopt;
        }
        const char* at = m_bytes.constData() + m_offset;
        m_offset += sizeof(T);
        return m_bigEndian ? qFromBigEndian<T>(at) : qFromLittleEndian<T>(at);
    }

    const QByteArray& m_bytes;
    bool m_bigEndian;
    std::size_t m_offset = 0;
};

} // namespace

namespace X11Settings {

std::optional<std::int32_t> integerIn(const QByteArray& property, QByteArrayView name)
{
    enum : std::uint8_t { integerType = 0, stringType = 1, colourType = 2 };
    SettingsReader reader(property);
    // Byte order, three unused bytes, the serial, the number of settings.
    if (!reader.skip(4) || !reader.skip(4)) {
        return std::nullopt;
    }
    const auto count = reader.card32();
    if (!count) {
        return std::nullopt;
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto type = reader.card8();
        const bool unused = reader.skip(1);
        const auto nameLength = reader.card16();
        if (!type || !unused || !nameLength) {
            return std::nullopt;
        }
        const auto settingName = reader.bytes(*nameLength);
        if (!settingName || !reader.skip(padded(*nameLength) - *nameLength) || !reader.skip(4)) {
            return std::nullopt;
        }
        switch (*type) {
        case integerType: {
            const auto value = reader.card32();
            if (!value) {
                return std::nullopt;
            }
            if (*settingName == name) {
                return static_cast<std::int32_t>(*value);
            }
            break;
        }
        case stringType: {
            const auto length = reader.card32();
            if (!length || !reader.skip(padded(*length))) {
                return std::nullopt;
            }
            break;
        }
        case colourType:
            if (!reader.skip(8)) {
                return std::nullopt;
            }
            break;
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::int32_t> integer(xcb_connection_t* connection, int screen, QByteArrayView name)
{
    const xcb_atom_t selection = atom(connection, "_XSETTINGS_S" + QByteArray::number(screen));
    const xcb_atom_t settings = atom(connection, "_XSETTINGS_SETTINGS");
    if (selection == xcb_atom_t{XCB_ATOM_NONE} || settings == xcb_atom_t{XCB_ATOM_NONE}) {
        return std::nullopt;
    }
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE) {
        return std::nullopt;
    }
    // The settings are small; 64 KiB is far beyond any desktop's.
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, owner->owner, settings, settings, 0, 16384), nullptr));
    if (!reply || reply->format != 8) {
        return std::nullopt;
    }
    const QByteArray bytes(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
    return integerIn(bytes, name);
}

} // namespace X11Settings
