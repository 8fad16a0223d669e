#pragma once

// Keeping this computer's display on while a phone watches it.
class DisplaySleep {
public:
    virtual ~DisplaySleep() = default;
    // Wakes a display that is blanked or dimmed.
    virtual void wake() = 0;
    // Keeps the display from blanking through idleness until release(); says whether it could.
    virtual bool hold() = 0;
    virtual void release() = 0;
};
