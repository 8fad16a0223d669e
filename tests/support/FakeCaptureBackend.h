#pragma once

#include "media/CaptureBackend.h"

#include <memory>
#include <optional>
#include <vector>

namespace Tests {

// A capture platform whose answers the test sets, and which counts what it was asked.
class FakeCaptureBackend final : public CaptureBackend {
public:
    std::vector<Display> displays;
    std::vector<Screen> screenList;
    std::uint32_t mainID = 0;
    // Listing the displays, starting and retargeting fail with these.
    std::optional<QString> failure;
    std::optional<QString> startFailure;
    std::optional<QString> updateFailure;
    int streamsStarted = 0;
    int stops = 0;
    std::optional<Target> lastTarget;
    Sink* sink = nullptr;

    class FakeStream final : public Stream {
    public:
        explicit FakeStream(FakeCaptureBackend& owner) : m_owner(owner) {}
        Result<> update(const Target& target) override
        {
            if (m_owner.updateFailure) {
                return Failure{*m_owner.updateFailure};
            }
            m_owner.lastTarget = target;
            return {};
        }
        Result<> stop() override
        {
            ++m_owner.stops;
            return {};
        }

    private:
        FakeCaptureBackend& m_owner;
    };

    Result<std::vector<Display>> shareableDisplays() override
    {
        if (failure) {
            return Failure{*failure};
        }
        return displays;
    }
    std::vector<Screen> screens() override { return screenList; }
    std::uint32_t mainDisplayID() override { return mainID; }
    std::optional<QRect> displayBounds(std::uint32_t) override { return QRect(0, 0, 100, 100); }
    Result<std::unique_ptr<Stream>> startStream(const Target& target, Sink& s) override
    {
        if (startFailure) {
            return Failure{*startFailure};
        }
        ++streamsStarted;
        lastTarget = target;
        sink = &s;
        return std::unique_ptr<Stream>(std::make_unique<FakeStream>(*this));
    }
};

} // namespace Tests
