// Bounded polling and timing: tests wait for a condition, never for a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orna::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls `done` until it holds or `timeout` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& done, milliseconds timeout = std::chrono::seconds(2)) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

inline double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Milliseconds a call takes.
template <typename F>
double TimedMs(F&& call) {
  const auto t0 = Clock::now();
  call();
  return MsSince(t0);
}

}  // namespace orna::test
