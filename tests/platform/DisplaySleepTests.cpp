// Keeping the display on, seen through the X server's own screen saver state on a display of
// its own (the saver set to start after one idle second).
#include "platform/x11/X11DisplaySleep.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>
#include <xcb/screensaver.h>

#include <cstdlib>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class SaverWatch {
public:
    explicit SaverWatch(const char* display)
        : m_connection(xcb_connect(display, nullptr))
        , m_root(xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root)
    {
        xcb_set_screen_saver(m_connection, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_ALLOWED);
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }
    ~SaverWatch() { xcb_disconnect(m_connection); }

    bool isOn()
    {
        xcb_screensaver_query_info_reply_t* info = xcb_screensaver_query_info_reply(
            m_connection, xcb_screensaver_query_info(m_connection, m_root), nullptr);
        const bool on = info && info->state == XCB_SCREENSAVER_STATE_ON;
        std::free(info);
        return on;
    }

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root;
};

} // namespace

TEST(DisplaySleep, HoldingKeepsTheSaverOffAndWakingEndsIt)
{
    Tests::ExtraDisplay xvfb(8, u"640x480"_s);
    ASSERT_GT(xvfb.pid(), 0);
    {
        SaverWatch watch(":8");
        X11DisplaySleep sleep(":8");
        // Idle for a second: the saver comes on; waking ends it.
        ASSERT_TRUE(Tests::waitUntil([&] { return watch.isOn(); }, 5s));
        sleep.wake();
        EXPECT_FALSE(watch.isOn());
        // Held: it stays off however long nothing happens.
        ASSERT_TRUE(sleep.hold());
        ASSERT_TRUE(sleep.hold()) << "holding twice is one hold";
        Tests::spin(2500ms);
        EXPECT_FALSE(watch.isOn());
        // Released: it comes on again.
        sleep.release();
        EXPECT_TRUE(Tests::waitUntil([&] { return watch.isOn(); }, 5s));
        sleep.wake();
        EXPECT_FALSE(watch.isOn());
        // A helper that ends lets the saver go on: the server lifts the hold with the client.
        {
            X11DisplaySleep held(":8");
            ASSERT_TRUE(held.hold());
            Tests::spin(1500ms);
            EXPECT_FALSE(watch.isOn());
        }
        EXPECT_TRUE(Tests::waitUntil([&] { return watch.isOn(); }, 5s));
    }
}

TEST(DisplaySleep, WithoutAServerNothingIsHeld)
{
    X11DisplaySleep nowhere(":39");
    nowhere.wake();
    EXPECT_FALSE(nowhere.hold());
    nowhere.release();
}
