#pragma once

namespace Tests {

// How much slower this build runs than a plain one: tests that must cover a stretch of real
// time after a slow start (a connection, a pipeline) stretch it by this much.
#if defined(__SANITIZE_THREAD__)
inline constexpr int slowdown = 3;
inline constexpr bool threadSanitizer = true;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int slowdown = 2;
inline constexpr bool threadSanitizer = false;
#else
inline constexpr int slowdown = 1;
inline constexpr bool threadSanitizer = false;
#endif
// The programs of this build keep freed memory aside (quarantine, shadow): their resident size
// says nothing about leaks or growth.
inline constexpr bool sanitized = slowdown > 1;

} // namespace Tests
