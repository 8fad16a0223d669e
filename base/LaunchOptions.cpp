#include "base/LaunchOptions.h"

using namespace Qt::StringLiterals;

LaunchOptions LaunchOptions::parse(const QStringList& arguments)
{
    LaunchOptions options;
    options.autoAllow = arguments.contains(u"-autoallow"_s);
    options.inputLog = arguments.contains(u"-inputlog"_s);
    options.rtcLog = arguments.contains(u"-rtclog"_s);
    const qsizetype render = arguments.indexOf(u"-renderui"_s);
    options.renderUIAsked = render >= 0;
    if (render >= 0 && render + 1 < arguments.size()) {
        options.renderUI = arguments[render + 1];
    }
    return options;
}
