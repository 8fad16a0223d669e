#pragma once

#include "core/AudioOutput.h"
#include "core/DisplaySleep.h"
#include "core/LoginItem.h"
#include "core/ServiceAdvertiser.h"
#include "input/EventSink.h"
#include "media/CaptureBackend.h"
#include "media/SoundSource.h"

#include <QString>

#include <functional>
#include <memory>

// What the helper needs of the desktop it runs on. The composition point builds it for the
// running desktop (X11, or a Wayland compositor and what it offers) and hands it to the model,
// which owns it from then on. A part that is absent is a service this desktop does not offer.
struct Platform {
    // The name the helper announces: the "pretty" host name when one is set, else the host name.
    QString computerName;
    std::unique_ptr<ServiceAdvertiser> advertiser;
    std::unique_ptr<CaptureBackend> capture;
    std::unique_ptr<SoundSource> sound;
    std::unique_ptr<AudioOutput> audioOutput;
    std::unique_ptr<DisplaySleep> displaySleep;
    std::unique_ptr<LoginItem> loginItem;

    // Where the phone's input goes, and a fresh one once control is allowed.
    std::shared_ptr<EventSink> eventSink;
    std::function<std::shared_ptr<EventSink>()> makeEventSink;
    // The desktop's double-click interval in seconds.
    std::function<double()> doubleClickInterval;

    // The two permissions: whether the screen can be recorded and synthesized input reaches the
    // desktop. Asked every 2 seconds, so they are cheap.
    std::function<bool()> canRecord = [] { return false; };
    std::function<bool()> canControl = [] { return false; };

    // What the panel says each permission is for and what the desktop needs for it, and the
    // desktop's way to grant it (absent where it has none: the panel then offers no button).
    struct PermissionPage {
        QString help;
        std::function<void()> open;
    };
    PermissionPage recordingPage{QStringLiteral("So this Mac's screen can be sent to your phone."), {}};
    PermissionPage controlPage{QStringLiteral("So the pointer and keyboard in OVU Desktop work on this Mac. "
                                              "Without it, the phone can only watch."),
                               {}};
};
