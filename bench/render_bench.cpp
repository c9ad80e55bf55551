// Rendering without an instrument: synthetic ECG with pacing, as
// `orna render ecg --pacing-amplitude 2 --seconds S --record OUT`, or with
// --input a record, as `orna render record PATH --seconds S --record OUT`, timed.
//
//   bench_render [--seconds S] [--record OUT] [--input PATH]
//
// Prints the wall time, the multiple of real time and the peak resident set
// (getrusage), so that runs of different lengths show whether memory stays flat.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/record_play.h"
#include "tools/tools.h"

int main(int argc, char** argv) {
  double seconds = 3600;
  std::string record = "/var/tmp/bench_render.edf";
  std::string input;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--record") == 0) record = argv[i + 1];
    else if (std::strcmp(argv[i], "--input") == 0) input = argv[i + 1];
  }
  orna::cli::PlayOptions o;
  if (input.empty()) {
    o.function = "ecg";
    o.pacing_amplitude = 2;
  } else {
    o.function = orna::cli::kRecordFunction;
    o.record_path = input;
  }
  o.seconds = seconds;
  o.records = {record};
  const auto start = std::chrono::steady_clock::now();
  const int exit_code = orna::cli::RunRender(o);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s: %.0f s rendered in %.2f s (%.0f x real time), CPU %.2f s user %.2f s system, peak RSS %ld MB, exit %d\n",
              record.c_str(), seconds, wall, seconds / wall,
              usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6,
              usage.ru_maxrss / 1024, exit_code);
  return exit_code;
}
