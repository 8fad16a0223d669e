#pragma once

#include "base/Result.h"
#include "media/HelperDisplay.h"
#include "media/SenderState.h"
#include "media/VideoSender.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class CaptureBackend;
class DisplaySleep;
class InputInjector;
class OutputSilencer;
class ScreenCapture;
class SoundCapture;
class SoundSource;

// What showing this computer to the active phone takes, from the phone's arrival to the end of
// its visit: the display kept awake, the capture of the display it asked for, the WebRTC sender,
// the sound, and the room kept quiet while the phone listens. Runs on the main thread.
class SharingSession : public QObject {
    Q_OBJECT

public:
    static constexpr int frameRate = 60;

    // Any part may be absent: without a capture backend nothing can be shown, without a sound
    // source nothing is heard, without display sleep the display is not kept awake.
    SharingSession(CaptureBackend* capture, SoundSource* sound, DisplaySleep* displaySleep,
                   OutputSilencer& silencer, InputInjector& input, VideoSender::Options senderOptions);
    ~SharingSession() override;

    SenderState state;
    SenderStats stats;

    // The signalling with the phone.
    std::function<void(const VideoSender::Signal& signal)> sendSignal;
    // The sharing cannot go on (the capture ended, the sender failed): the phone's visit ends,
    // and it is told why.
    std::function<void(const QString& reason)> onFailed;
    std::function<void()> onChanged;

    // A phone arrived: the display wakes, and stays awake until release().
    void wake();
    bool holdsDisplayAwake() const { return m_awake; }

    // Shows the display at this picture size: starts the capture, the sender and the sound, or
    // moves a running sharing to it. `wanted` says whether the phone still wants it once the
    // capture has started. A capture that cannot start is the failure; nothing is shared then.
    QCoro::Task<Result<>> show(HelperDisplay display, int width, int height, bool withSound, bool silence,
                               std::function<bool()> wanted);
    bool isSharing() const { return m_sender != nullptr; }
    // The phone's answer or one of its candidates.
    void receive(const VideoSender::Signal& signal);
    // Keeps the room quiet while the phone listens, or gives the sound back.
    void silence(bool on);
    // The displays changed: the pointer follows the shown one if it moved.
    void displaysChanged();
    // Ends the sharing; `phoneStays` keeps the display awake for the phone still connected.
    QCoro::Task<> stop(bool phoneStays);

    VideoSender* sender() const { return m_sender.get(); }
    ScreenCapture* capture() const { return m_capture.get(); }

private:
    void senderState(const SenderState& newState);
    void senderStats(const SenderStats& figures);

    CaptureBackend* m_backend;
    std::unique_ptr<ScreenCapture> m_capture;
    std::unique_ptr<SoundCapture> m_sound;
    DisplaySleep* m_displaySleep;
    OutputSilencer& m_silencer;
    InputInjector& m_input;
    const VideoSender::Options m_senderOptions;
    std::unique_ptr<VideoSender> m_sender;
    std::uint32_t m_shownID = 0;
    bool m_withSound = false;
    bool m_awake = false;
};
