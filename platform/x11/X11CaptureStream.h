#pragma once

#include "media/CaptureBackend.h"
#include "media/CursorImage.h"
#include "media/Nv12Converter.h"
#include "media/PixelBufferPool.h"

#include <QByteArray>
#include <QRect>

#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// One running capture of a monitor's rectangle, on a thread and an X connection of its own. At
// every frame interval it asks XDamage whether anything changed (and whether the pointer moved);
// an unchanged interval yields an idle sample and no work. A changed one is grabbed with MIT-SHM,
// gets the pointer drawn in, and is scaled and converted into one of 4 pooled NV12 buffers.
class X11CaptureStream final : public CaptureBackend::Stream {
public:
    using Bounds = std::function<std::optional<QRect>(std::uint32_t displayID)>;

    static Result<std::unique_ptr<CaptureBackend::Stream>> start(const QByteArray& displayName,
                                                                 const CaptureBackend::Target& target,
                                                                 QRect rect, Bounds bounds,
                                                                 CaptureBackend::Sink& sink);
    ~X11CaptureStream() override;

    Result<> update(const CaptureBackend::Target& target) override;
    Result<> stop() override;

    // Pictures in flight at once: the one being filled, the encoder's, and the sender's still
    // picture (kept for key frames on a screen that does not change).
    static constexpr int queueDepth = 5;

private:
    struct Settings {
        QRect rect;
        int width = 0;
        int height = 0;
        int framesPerSecond = 60;
        std::uint64_t revision = 0;
    };

    X11CaptureStream(xcb_connection_t* connection, Bounds bounds, CaptureBackend::Sink& sink);
    Result<> prepare(const Settings& settings);
    void run();
    // One interval: says whether anything on the monitor changed since the last grab.
    bool changed(const QRect& rect, bool& cursorChanged);
    bool grab(const QRect& rect);
    void fetchCursor();
    bool ensureSegment(std::size_t size);
    void releaseSegment();

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    Bounds m_bounds;
    CaptureBackend::Sink& m_sink;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    Settings m_settings;
    bool m_stopping = false;
    std::thread m_thread;

    // Used by the capture thread only.
    std::uint32_t m_damage = 0;
    std::uint8_t m_damageEvent = 0;
    std::uint8_t m_cursorEvent = 0;
    bool m_useShm = false;
    std::uint32_t m_segment = 0;
    int m_shmID = -1;
    std::uint8_t* m_shmData = nullptr;
    std::size_t m_shmSize = 0;
    QByteArray m_copy;
    const std::uint8_t* m_image = nullptr;
    int m_pointerX = -1;
    int m_pointerY = -1;
    CursorImage m_cursor;
    PixelBufferPool m_pool{queueDepth};
    Nv12Converter m_converter;
    bool m_reportedStop = false;
};
