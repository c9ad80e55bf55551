// What the instrument plays, in batches for the page's chart and for a
// recording. With the virtual instrument the points are its decoded samples;
// with hardware, the library's graph and pacing callbacks. The callbacks only
// copy into a bounded buffer: all other work happens on the pump thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "tools.h"

namespace orna::panel {

class Stream {
 public:
  Stream() = default;
  ~Stream() { Stop(); }
  // Starts the pump; `vi` (may be null) is the virtual instrument to read.
  void Start(emu::VirtualInstrument* vi);
  void Stop();
  // Switches between the virtual instrument and the library's callbacks.
  void UseInstrument(emu::VirtualInstrument* vi);

  // Batches after `seq` (the first call passes 0 and gets only new ones), as
  // SSE event text; waits up to `wait_ms` for one. Returns the last sequence
  // number handed out.
  std::uint64_t Next(std::uint64_t seq, std::string* events, int wait_ms);
  std::uint64_t LastSeq();
  // The batches kept with `after` < number <= `upto`, as SSE event text.
  std::string Between(std::uint64_t after, std::uint64_t upto);

  // Recording of everything streamed from now on.
  void StartRecording();
  // Stops and returns the points (and their sampling period).
  std::vector<cli::Point> StopRecording(double* period_s);
  bool recording();
  std::size_t recorded();
  // True once a recording has reached its limit and takes no more points.
  bool record_full();

  std::uint64_t points_total();
  std::uint64_t points_dropped();

 private:
  void Pump();
  void Take(std::vector<cli::Point>* points);
  void Publish(const std::vector<cli::Point>& points, const std::vector<double>& pacing);
  void DetectPacing(std::vector<cli::Point>* points, std::vector<double>* marks);

  std::mutex m_;
  std::condition_variable cv_;
  emu::VirtualInstrument* vi_ = nullptr;
  bool stop_ = false;
  std::thread pump_;
  std::deque<std::pair<std::uint64_t, std::string>> batches_;
  std::uint64_t seq_ = 0;
  bool recording_ = false;
  std::vector<cli::Point> record_;
  double record_period_ = 1.0 / 5000;
  std::uint64_t total_ = 0;

  // Pacing pulse detector state (pump thread only).
  double prev_v_ = 0, prev_t_ = -1;
  int pulse_left_ = -1;  // samples left for the falling edge; -1: none pending
  bool in_flagged_ = false;
};

}  // namespace orna::panel
