#include "core/HelperLog.h"
#include "media/HelperEncoderFactory.h"
#include "media/PixelBufferPool.h"
#include "media/VideoSender.h"
#include "media/rtc/RtcPeerConnection.h"
#include "phone/PhoneViewer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Pictures of one colour (given as Y, U, V) pushed at a steady rate from a thread of their own,
// as the capture thread would.
class FramePump {
public:
    FramePump(VideoSender& sender, int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v,
              int fps = 60)
        : m_thread([=, this, &sender] {
            PixelBufferPool pool;
            auto next = std::chrono::steady_clock::now();
            while (!m_stop) {
                if (auto buffer = pool.acquire(width, height)) {
                    for (int row = 0; row < height; ++row) {
                        std::memset(buffer->luma() + row * buffer->lumaStride(), m_y.load(), width);
                    }
                    for (int row = 0; row < height / 2; ++row) {
                        std::uint8_t* line = buffer->chroma() + row * buffer->chromaStride();
                        for (int x = 0; x < width; x += 2) {
                            line[x] = u;
                            line[x + 1] = v;
                        }
                    }
                    sender.sendFrame(buffer, std::chrono::steady_clock::now().time_since_epoch());
                    ++m_pushed;
                }
                next += std::chrono::nanoseconds(1'000'000'000 / fps);
                std::this_thread::sleep_until(next);
            }
        })
        , m_y(y)
    {}
    ~FramePump() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    int pushed() const { return m_pushed; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pushed{0};
    std::thread m_thread;
    std::atomic<std::uint8_t> m_y;
};

// A sender and a phone viewer whose signalling goes straight from one to the other.
struct Link {
    VideoSender sender;
    PhoneViewer viewer;
    QList<QJsonObject> toPhone;
    int fromPhone = 0;
    QList<SenderState> states;
    QList<SenderStats> stats;
    QList<QByteArray> controls;
    std::vector<PhoneViewer::Picture> pictures;

    explicit Link(const QString& preferredProfile = {}, int maxBitrate = 6'000'000)
        : sender(60, maxBitrate)
        , viewer(preferredProfile)
    {
        sender.sendSignal = [this](const QJsonObject& message) {
            toPhone.append(message);
            viewer.receive(message);
        };
        viewer.sendSignal = [this](const QJsonObject& message) {
            ++fromPhone;
            sender.receive(message);
        };
        viewer.onPicture = [this](const PhoneViewer::Picture& picture) { pictures.push_back(picture); };
        sender.onState = [this](const SenderState& state) { states.append(state); };
        sender.onStats = [this](const SenderStats& s) { stats.append(s); };
        sender.onControlMessage = [this](const QByteArray& bytes) { controls.append(bytes); };
    }
    ~Link() { sender.stop(); }
    QString offer() const
    {
        for (const QJsonObject& message : toPhone) {
            if (message.value(u"t"_s) == u"offer"_s) {
                return message.value(u"sdp"_s).toString();
            }
        }
        return {};
    }
    bool connected() const { return states.contains(SenderState::connected()); }
};

} // namespace

TEST(VideoSender, PicturesReachThePhoneDecoded)
{
    Link link;
    link.sender.start();
    FramePump pump(link.sender, 640, 360, 81, 90, 240); // red
    ASSERT_TRUE(Tests::waitUntil([&] { return link.pictures.size() >= 60; }, 20s))
        << link.pictures.size() << " pictures, states " << link.states.size() << " to phone "
        << link.toPhone.size() << " answer " << link.viewer.answer().size() << " fromPhone "
        << link.fromPhone;
    const PhoneViewer::Picture& last = link.pictures.back();
    EXPECT_EQ(last.width, 640);
    EXPECT_EQ(last.height, 360);
    EXPECT_GT(qRed(last.centre), 200) << std::hex << last.centre;
    EXPECT_LT(qGreen(last.centre), 60);
    EXPECT_LT(qBlue(last.centre), 60);
}
