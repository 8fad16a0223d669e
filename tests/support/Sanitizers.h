#pragma once

namespace Tests {

// How much slower this build runs than a plain one: tests that must cover a stretch of real
// time after a slow start (a connection, a pipeline) stretch it by this much.
#if defined(__SANITIZE_THREAD__)
inline constexpr int slowdown = 3;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int slowdown = 2;
#else
inline constexpr int slowdown = 1;
#endif

} // namespace Tests
