#include "platform/x11/X11CaptureStream.h"

#include "platform/x11/XcbReply.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

Failure x11Error(const QString& description)
{
    return Failure{description};
}

// The pointer image reaches this far around its hot spot.
constexpr int pointerReach = 64;

} // namespace

X11CaptureStream::X11CaptureStream(xcb_connection_t* connection, Bounds bounds, CaptureBackend::Sink& sink)
    : m_connection(connection)
    , m_bounds(std::move(bounds))
    , m_sink(sink)
{}

Result<std::unique_ptr<CaptureBackend::Stream>> X11CaptureStream::start(const QByteArray& displayName,
                                                                        const CaptureBackend::Target& target,
                                                                        QRect rect, Bounds bounds,
                                                                        CaptureBackend::Sink& sink)
{
    xcb_connection_t* connection =
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return x11Error(u"The X display cannot be opened."_s);
    }
    std::unique_ptr<X11CaptureStream> stream(new X11CaptureStream(connection, std::move(bounds), sink));
    Settings settings{rect, target.width, target.height, std::max(1, target.framesPerSecond), 1};
    if (Result<> prepared = stream->prepare(settings); !prepared.ok()) {
        return Failure{prepared.error()};
    }
    stream->m_settings = settings;
    stream->m_thread = std::thread([raw = stream.get()] { raw->run(); });
    return std::unique_ptr<CaptureBackend::Stream>(std::move(stream));
}

Result<> X11CaptureStream::prepare(const Settings& settings)
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    m_root = screen->root;
    if (screen->root_depth != 24 && screen->root_depth != 32) {
        return x11Error(u"The X display’s colour depth cannot be captured."_s);
    }
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(m_connection, &xcb_damage_id);
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(m_connection, &xcb_xfixes_id);
    if (!damage || !damage->present || !fixes || !fixes->present) {
        return x11Error(u"The X display lacks the DAMAGE or XFIXES extension."_s);
    }
    xcbReply(
        xcb_damage_query_version_reply(m_connection, xcb_damage_query_version(m_connection, 1, 1), nullptr));
    xcbReply(
        xcb_xfixes_query_version_reply(m_connection, xcb_xfixes_query_version(m_connection, 4, 0), nullptr));
    m_damageEvent = static_cast<std::uint8_t>(damage->first_event + XCB_DAMAGE_NOTIFY);
    m_cursorEvent = static_cast<std::uint8_t>(fixes->first_event + XCB_XFIXES_CURSOR_NOTIFY);
    m_damage = xcb_generate_id(m_connection);
    xcb_damage_create(m_connection, m_damage, m_root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    xcb_xfixes_select_cursor_input(m_connection, m_root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    m_useShm = shm && shm->present;
    if (m_useShm &&
        !ensureSegment(static_cast<std::size_t>(settings.rect.width()) * settings.rect.height() * 4)) {
        m_useShm = false; // a remote display: plain GetImage still works, only slower
    }
    fetchCursor();
    xcb_flush(m_connection);
    if (xcb_connection_has_error(m_connection)) {
        return x11Error(u"The connection to the X display was lost."_s);
    }
    return {};
}

X11CaptureStream::~X11CaptureStream()
{
    stop();
    releaseSegment();
    xcb_disconnect(m_connection);
}

bool X11CaptureStream::ensureSegment(std::size_t size)
{
    if (size <= m_shmSize) {
        return true;
    }
    releaseSegment();
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
        return false;
    }
    void* data = shmat(id, nullptr, 0);
    if (data == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    m_segment = xcb_generate_id(m_connection);
    auto error =
        xcbReply(xcb_request_check(m_connection, xcb_shm_attach_checked(m_connection, m_segment, id, 0)));
    // Marked for removal now: it goes away once both sides have detached, even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
        shmdt(data);
        return false;
    }
    m_shmID = id;
    m_shmData = static_cast<std::uint8_t*>(data);
    m_shmSize = size;
    return true;
}

void X11CaptureStream::releaseSegment()
{
    if (!m_shmData) {
        return;
    }
    xcb_shm_detach(m_connection, m_segment);
    xcb_flush(m_connection);
    shmdt(m_shmData);
    m_shmData = nullptr;
    m_shmSize = 0;
    m_shmID = -1;
}

Result<> X11CaptureStream::update(const CaptureBackend::Target& target)
{
    const std::optional<QRect> rect = m_bounds(target.displayID);
    if (!rect) {
        return CaptureBackend::noDisplay();
    }
    {
        std::lock_guard lock(m_mutex);
        m_settings = Settings{*rect, target.width, target.height, std::max(1, target.framesPerSecond),
                              m_settings.revision + 1};
    }
    m_wake.notify_all();
    return {};
}

Result<> X11CaptureStream::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return {};
}

void X11CaptureStream::fetchCursor()
{
    auto image = xcbReply(
        xcb_xfixes_get_cursor_image_reply(m_connection, xcb_xfixes_get_cursor_image(m_connection), nullptr));
    if (!image) {
        return;
    }
    m_cursor.width = image->width;
    m_cursor.height = image->height;
    m_cursor.hotX = image->xhot;
    m_cursor.hotY = image->yhot;
    m_cursor.serial = image->cursor_serial;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
    m_cursor.pixels.assign(pixels, pixels + xcb_xfixes_get_cursor_image_cursor_image_length(image.get()));
}

bool X11CaptureStream::changed(const QRect& rect, bool& cursorChanged)
{
    bool damaged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == m_damageEvent) {
            const auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(event);
            const QRect area(notify->area.x, notify->area.y, notify->area.width, notify->area.height);
            damaged = damaged || area.intersects(rect);
        } else if (type == m_cursorEvent) {
            cursorChanged = true;
        }
        std::free(event);
    }
    auto pointer =
        xcbReply(xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    bool moved = false;
    if (pointer && (pointer->root_x != m_pointerX || pointer->root_y != m_pointerY)) {
        const QRect reach = rect.adjusted(-pointerReach, -pointerReach, pointerReach, pointerReach);
        moved = reach.contains(pointer->root_x, pointer->root_y) || reach.contains(m_pointerX, m_pointerY);
        m_pointerX = pointer->root_x;
        m_pointerY = pointer->root_y;
    }
    return damaged || moved || (cursorChanged && rect.contains(m_pointerX, m_pointerY));
}

bool X11CaptureStream::grab(const QRect& rect)
{
    if (m_useShm && ensureSegment(static_cast<std::size_t>(rect.width()) * rect.height() * 4)) {
        auto image = xcbReply(xcb_shm_get_image_reply(
            m_connection,
            xcb_shm_get_image(m_connection, m_root, static_cast<std::int16_t>(rect.x()),
                              static_cast<std::int16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                              static_cast<std::uint16_t>(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              m_segment, 0),
            nullptr));
        m_image = m_shmData;
        return image != nullptr;
    }
    auto image = xcbReply(xcb_get_image_reply(
        m_connection,
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, static_cast<std::int16_t>(rect.x()),
                      static_cast<std::int16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                      static_cast<std::uint16_t>(rect.height()), ~0u),
        nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < rect.width() * rect.height() * 4) {
        return false;
    }
    m_copy = QByteArray(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                        rect.width() * rect.height() * 4);
    m_image = reinterpret_cast<const std::uint8_t*>(m_copy.constData());
    return true;
}

void X11CaptureStream::run()
{
    using Clock = std::chrono::steady_clock;
    Settings settings;
    std::uint64_t applied = 0;
    bool force = true;
    bool cursorChanged = false;
    Clock::time_point next = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_until(lock, next, [&] { return m_stopping || m_settings.revision != applied; });
            if (m_stopping) {
                return;
            }
            if (m_settings.revision != applied) {
                // A new display or size: the next picture is taken whatever changed.
                settings = m_settings;
                applied = settings.revision;
                force = true;
            }
        }
        const auto interval = std::chrono::nanoseconds(1'000'000'000 / settings.framesPerSecond);
        const Clock::time_point now = Clock::now();
        next = std::max(next + interval, now);

        if (xcb_connection_has_error(m_connection)) {
            if (!m_reportedStop) {
                m_reportedStop = true;
                m_sink.streamStopped(x11Error(u"The connection to the X display was lost."_s));
            }
            return;
        }
        const bool any = changed(settings.rect, cursorChanged);
        if (!any && !force) {
            m_sink.videoSample({CaptureBackend::FrameStatus::idle, nullptr, now.time_since_epoch()});
            continue;
        }
        std::shared_ptr<PixelBuffer> buffer = m_pool.acquire(settings.width, settings.height);
        if (!buffer) {
            // Every buffer is still held downstream: skip this picture, keep the change pending.
            force = true;
            continue;
        }
        xcb_damage_subtract(m_connection, m_damage, XCB_NONE, XCB_NONE);
        if (cursorChanged) {
            fetchCursor();
            cursorChanged = false;
        }
        if (!grab(settings.rect)) {
            // The monitor may just have been resized away; the model retargets after the change.
            force = true;
            continue;
        }
        const auto time = Clock::now().time_since_epoch();
        auto* pixels = const_cast<std::uint8_t*>(m_image);
        m_cursor.blend(pixels, settings.rect.width() * 4, settings.rect.width(), settings.rect.height(),
                       m_pointerX - settings.rect.x(), m_pointerY - settings.rect.y());
        m_converter.convert(pixels, settings.rect.width() * 4, settings.rect.width(), settings.rect.height(),
                            *buffer);
        force = false;
        m_sink.videoSample({CaptureBackend::FrameStatus::complete, std::move(buffer), time});
    }
}
