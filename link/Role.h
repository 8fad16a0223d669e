#pragma once

#include <cstdint>
#include <optional>

// Which end of a link a channel is. The raw value is the direction label that enters every
// authentication tag, so a frame one end sent can never be accepted by that same end.
enum class Role : std::uint8_t {
    phone = 0x50,  // "P"
    helper = 0x4D, // "M"
};

constexpr std::uint8_t rawValue(Role role)
{
    return static_cast<std::uint8_t>(role);
}

constexpr std::optional<Role> roleFromRaw(std::uint8_t raw)
{
    switch (raw) {
    case rawValue(Role::phone):
        return Role::phone;
    case rawValue(Role::helper):
        return Role::helper;
    default:
        return std::nullopt;
    }
}

// The role of the other end of a link.
constexpr Role otherRole(Role role)
{
    return role == Role::helper ? Role::phone : Role::helper;
}
