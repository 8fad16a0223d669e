// A helper reduced to its output muting, for the tests of quitting and of being killed while the
// output is silenced: it silences the default output at once and then waits, quitting (and giving
// the sound back) on SIGTERM or SIGINT exactly as the helper does.
#include "base/HelperLog.h"
#include "core/HelperModel.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "ui/TerminationSignals.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TerminationSignals termination([](int) { QCoreApplication::quit(); });
    HelperModel model(LaunchOptions{}, u"hold-mute"_s, nullptr, nullptr,
                      std::make_unique<PulseAudioOutput>());
    model.mute.mute();
    HelperLog::flush();
    const int status = QCoreApplication::exec();
    HelperLog::flush();
    return status;
}
