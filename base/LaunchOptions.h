#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The helper's launch options, each an exact element of the argument list in any position.
struct LaunchOptions {
    // "-renderui DIR": write the snapshots of the three views into DIR at start-up.
    std::optional<QString> renderUI;
    // "-renderui" anywhere, even without a folder after it: no welcome window at launch.
    bool renderUIAsked = false;
    // "-autoallow": every pairing request is allowed at once, without the prompt.
    bool autoAllow = false;
    // "-inputlog": a log line per control message and the sound report.
    bool inputLog = false;
    // "-rtclog": the WebRTC stack's own log from info severity on.
    bool rtcLog = false;

    static LaunchOptions parse(const QStringList& arguments);
};
