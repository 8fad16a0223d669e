#include "core/SharingSession.h"

#include "base/HelperLog.h"
#include "core/DisplaySleep.h"
#include "core/OutputSilencer.h"
#include "input/InputInjector.h"
#include "media/CaptureBackend.h"
#include "media/ScreenCapture.h"
#include "media/SoundCapture.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

SharingSession::SharingSession(CaptureBackend* capture, SoundSource* sound, DisplaySleep* displaySleep,
                               OutputSilencer& silencer, InputInjector& input,
                               VideoSender::Options senderOptions)
    : m_backend(capture)
    , m_capture(capture ? std::make_unique<ScreenCapture>(*capture) : nullptr)
    , m_sound(sound ? std::make_unique<SoundCapture>(*sound) : nullptr)
    , m_displaySleep(displaySleep)
    , m_silencer(silencer)
    , m_input(input)
    , m_senderOptions(senderOptions)
{}

SharingSession::~SharingSession()
{
    // The capture's thread feeds the sender: it is stopped (and joined) before the sender goes.
    m_capture.reset();
    if (m_sound) {
        m_sound->stop();
    }
    if (m_sender) {
        m_sender->stop();
    }
}

void SharingSession::wake()
{
    if (!m_displaySleep) {
        return;
    }
    m_displaySleep->wake();
    if (!m_awake) {
        m_awake = m_displaySleep->hold();
    }
}

QCoro::Task<Result<>> SharingSession::show(HelperDisplay display, int width, int height, bool withSound,
                                           bool silence, std::function<bool()> wanted)
{
    QPointer<SharingSession> self(this);
    if (!m_capture) {
        co_return CaptureBackend::noDisplay();
    }
    const double bits = std::trunc(double(width) * double(height) * 5.5);
    const int bitrate = static_cast<int>(std::clamp(bits, 6'000'000.0, 40'000'000.0));
    m_shownID = display.id;
    if (const std::optional<QRect> bounds = m_backend->displayBounds(display.id)) {
        m_input.displayBounds = QRectF(*bounds);
    }
    HelperLog::write(u"showing "_s + display.name + u" at "_s + QString::number(width) + u"x"_s +
                     QString::number(height));

    if (m_sender) {
        m_sender->setMaxBitrate(bitrate);
        const Result<> moved = co_await m_capture->update(display.id, width, height);
        if (self && !moved.ok()) {
            HelperLog::write(u"could not change the capture: "_s + moved.error());
        }
        co_return Result<>();
    }

    auto created = std::make_unique<VideoSender>(frameRate, bitrate, m_senderOptions);
    VideoSender* sender = created.get();
    sender->sendSignal = [self](const VideoSender::Signal& signal) {
        if (self && self->sendSignal) {
            self->sendSignal(signal);
        }
    };
    sender->onState = [self](const SenderState& newState) {
        if (self) {
            self->senderState(newState);
        }
    };
    sender->onStats = [self](const SenderStats& figures) {
        if (self) {
            self->senderStats(figures);
        }
    };
    sender->onControlMessage = [self](const QByteArray& bytes) {
        if (self) {
            self->m_input.handle(bytes);
        }
    };
    m_sender = std::move(created);
    // Pictures and sound go from the capture's threads straight to the sender, which outlives
    // every capture it is fed by (the captures are stopped first).
    m_capture->onFrame = [sender](const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time) {
        sender->sendFrame(buffer, time);
    };
    m_capture->onStopped = [self](const Result<>& why) {
        if (!self) {
            return;
        }
        HelperLog::write(u"capture stopped: "_s + (why.ok() ? u"nil"_s : why.error()));
        if (self->onFailed) {
            self->onFailed(u"The Mac stopped the screen capture."_s);
        }
    };
    m_capture->framesPerSecond = frameRate;
    const Result<> started = co_await m_capture->start(display.id, width, height);
    if (!self) {
        co_return Result<>();
    }
    if (m_sender.get() != sender || !wanted()) {
        // The phone went away while the capture started: nothing is shared.
        if (started.ok()) {
            co_await m_capture->stop();
        }
        if (self && m_sender.get() == sender) {
            m_sender.reset();
        }
        co_return Result<>();
    }
    if (!started.ok()) {
        HelperLog::write(u"capture failed: "_s + started.error());
        m_sender.reset();
        co_return started;
    }
    m_withSound = withSound && m_sound;
    if (m_withSound) {
        m_sound->onAudio = [sender](const QByteArray& pcm) { sender->sendAudio(pcm); };
        m_sound->start();
    }
    m_sender->start();
    if (withSound && silence) {
        m_silencer.mute();
    }
    co_return Result<>();
}

void SharingSession::receive(const VideoSender::Signal& signal)
{
    if (m_sender) {
        m_sender->receive(signal);
    }
}

void SharingSession::silence(bool on)
{
    if (!on) {
        m_silencer.restore();
    } else if (m_sender && m_withSound) {
        m_silencer.mute();
    }
}

void SharingSession::displaysChanged()
{
    if (m_sender && m_backend) {
        if (const std::optional<QRect> bounds = m_backend->displayBounds(m_shownID)) {
            m_input.displayBounds = QRectF(*bounds);
        }
    }
}

void SharingSession::senderState(const SenderState& newState)
{
    state = newState;
    if (newState.kind != SenderState::Kind::connected) {
        m_input.releaseAll();
    }
    HelperLog::write(u"state "_s + newState.description());
    if (onChanged) {
        onChanged();
    }
    if (newState.kind == SenderState::Kind::failed && !newState.message.isEmpty() && onFailed) {
        onFailed(newState.message);
    }
}

void SharingSession::senderStats(const SenderStats& figures)
{
    stats = figures;
    if (figures.framesPerSecond > 0 || figures.megabitsPerSecond > 0) {
        HelperLog::write(QString::asprintf("%.0f frames/s, %.1f Mbit/s, %dx%d, %s", figures.framesPerSecond,
                                           figures.megabitsPerSecond, figures.width, figures.height,
                                           qPrintable(figures.encoder)));
    }
    if (onChanged) {
        onChanged();
    }
}

QCoro::Task<> SharingSession::stop(bool phoneStays)
{
    QPointer<SharingSession> self(this);
    m_input.releaseAll();
    if (m_sound) {
        m_sound->stop();
    }
    if (m_capture) {
        co_await m_capture->stop();
        if (!self) {
            co_return;
        }
    }
    if (m_sender) {
        m_sender->stop();
        // Its own callbacks may be what brought us here: it goes once they have returned.
        m_sender.release()->deleteLater();
    }
    m_withSound = false;
    stats = SenderStats{};
    state = SenderState::idle();
    // While a phone stays connected the display is kept on, shared or not.
    if (!phoneStays && m_awake) {
        m_displaySleep->release();
        m_awake = false;
    }
    m_silencer.restore();
    if (onChanged) {
        onChanged();
    }
}
