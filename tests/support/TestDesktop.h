#pragma once

#include "core/Platform.h"
#include "tests/support/FakeCaptureBackend.h"

#include <memory>

namespace Tests {

// A desktop whose answers the test sets, built into the model's platform bundle: the two
// permissions, a capture with one 1920×1080 display, a display sleep, a login item and event
// sinks that count what they are asked, and no sound, output or advertising unless the test
// puts them in.
struct TestDesktop {
    bool record = true;
    bool control = true;
    int wakes = 0;
    int holds = 0;
    int releases = 0;
    int eventSinks = 0;
    int recordingPages = 0;
    int controlPages = 0;
    FakeCaptureBackend* capture = nullptr;

    struct LoginItemState {
        bool enabled = false;
        std::optional<QString> failure;
    } loginItem;

    Platform platform()
    {
        class Sleep : public DisplaySleep {
        public:
            explicit Sleep(TestDesktop& d) : m_desktop(d) {}
            void wake() override { ++m_desktop.wakes; }
            bool hold() override { return ++m_desktop.holds > 0; }
            void release() override { ++m_desktop.releases; }

        private:
            TestDesktop& m_desktop;
        };
        class Login : public LoginItem {
        public:
            explicit Login(LoginItemState& s) : m_state(s) {}
            bool isEnabled() const override { return m_state.enabled; }
            Result<> enable() override
            {
                if (m_state.failure) {
                    return Failure{*m_state.failure};
                }
                m_state.enabled = true;
                return {};
            }
            Result<> disable() override
            {
                m_state.enabled = false;
                return {};
            }

        private:
            LoginItemState& m_state;
        };
        Platform platform;
        platform.computerName = QStringLiteral("Test Mac");
        auto fake = std::make_unique<FakeCaptureBackend>();
        fake->displays = {{1, 1920, 1080, 1920, 1080}};
        fake->mainID = 1;
        capture = fake.get();
        platform.capture = std::move(fake);
        platform.displaySleep = std::make_unique<Sleep>(*this);
        platform.loginItem = std::make_unique<Login>(loginItem);
        platform.canRecord = [this] { return record; };
        platform.canControl = [this] { return control; };
        platform.makeEventSink = [this] {
            ++eventSinks;
            return std::shared_ptr<EventSink>();
        };
        platform.recordingPage.open = [this] { ++recordingPages; };
        platform.controlPage.open = [this] { ++controlPages; };
        return platform;
    }
};

} // namespace Tests
