#pragma once

#include <QString>

#include <optional>

// Whether the helper starts when the user logs in, and the means to change it.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    // Nothing on success, else the reason as a sentence.
    virtual std::optional<QString> enable() = 0;
    virtual std::optional<QString> disable() = 0;
};
