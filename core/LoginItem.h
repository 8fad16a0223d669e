#pragma once

#include "base/Result.h"

// Whether the helper starts when the user logs in, and the means to change it.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    virtual Result<> enable() = 0;
    virtual Result<> disable() = 0;
};
