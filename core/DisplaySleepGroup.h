#pragma once

#include "core/DisplaySleep.h"

#include <memory>
#include <vector>

// Several ways of keeping the display on, used together (the display server's own screen saver
// and the desktop's screen-saver service): holding holds what can be held, and releasing releases
// exactly that.
class DisplaySleepGroup : public DisplaySleep {
public:
    explicit DisplaySleepGroup(std::vector<std::unique_ptr<DisplaySleep>> members);

    void wake() override;
    // Whether any member holds.
    bool hold() override;
    void release() override;

private:
    std::vector<std::unique_ptr<DisplaySleep>> m_members;
    std::vector<DisplaySleep*> m_holding;
};
