// Helpers of the reliability tests: timing of host calls, process counters.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/instrument_fixture.h"

namespace orna::reliability {

using Clock = std::chrono::steady_clock;

// Milliseconds a call takes.
template <typename F>
double TimedMs(F&& call) {
  const auto t0 = Clock::now();
  call();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

using testing::CountEntries;
using testing::OpenFds;
using testing::Threads;

// A count from the environment, or `fallback`.
inline long EnvCount(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  const long n = std::strtol(v, nullptr, 10);
  return n > 0 ? n : fallback;
}

}  // namespace orna::reliability
