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
    // Listing the displays fails with this.
    std::optional<CaptureError> failure;
    // Starting, and retargeting a running stream, fail with these.
    std::optional<CaptureError> startFailure;
    std::optional<CaptureError> updateFailure;
    int streamsStarted = 0;
    int calls = 0;
    int stops = 0;
    std::optional<Target> lastTarget;
    Sink* sink = nullptr;

    class FakeStream final : public Stream {
    public:
        explicit FakeStream(FakeCaptureBackend& owner) : m_owner(owner) {}
        std::optional<CaptureError> update(const Target& target) override
        {
            if (m_owner.updateFailure) {
                return m_owner.updateFailure;
            }
            m_owner.lastTarget = target;
            return std::nullopt;
        }
        std::optional<CaptureError> stop() override
        {
            ++m_owner.stops;
            return std::nullopt;
        }

    private:
        FakeCaptureBackend& m_owner;
    };

    CaptureResult<std::vector<Display>> shareableDisplays() override
    {
        ++calls;
        if (failure) {
            return *failure;
        }
        return displays;
    }
    std::vector<Screen> screens() override { return screenList; }
    std::uint32_t mainDisplayID() override { return mainID; }
    std::optional<QRect> displayBounds(std::uint32_t) override { return QRect(0, 0, 100, 100); }
    CaptureResult<std::unique_ptr<Stream>> startStream(const Target& target, Sink& s) override
    {
        ++calls;
        if (startFailure) {
            return *startFailure;
        }
        ++streamsStarted;
        lastTarget = target;
        sink = &s;
        return std::unique_ptr<Stream>(std::make_unique<FakeStream>(*this));
    }
};

} // namespace Tests
