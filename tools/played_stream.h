// The virtual instrument's played samples turned into recorded points as
// they arrive, so that a run of any length is written without being kept:
// each pacing pulse marked on the sample where it began, each rhythm label on
// the point nearest its played time, points from the first sample played
// until the run's length.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "signals/rhythm.h"
#include "tools.h"

namespace orna::cli {

class PlayedStream {
 public:
  // Receives every point in order, with the labels played on it.
  using Sink = std::function<void(const Point&, const std::vector<std::string>&)>;
  // `pulse_s` > 0: pacing pulses of that width (of `pacing_amplitude` mV) are
  // marked; `rhythm` (may be null): the loop whose labels are placed.
  PlayedStream(double seconds, double pulse_s, double pacing_amplitude, const signals::Rendered* rhythm, Sink sink);

  // More samples played, in order.
  void AddSamples(const std::vector<emu::Sample>& samples);
  // A frame (of 30 samples, counted from the stream's first) in whose graph
  // point the library reported a pacing pulse; reports come in order.
  void AddPulseFrame(std::uint64_t frame);
  // Hands over the points that nothing can change any more, now that the
  // graph callback has seen `frames` frames.
  void Advance(std::uint64_t frames);
  // The stream has ended: hands over the rest.
  void Finish();

 private:
  void ApplyPulses(bool final);
  void Emit(std::uint64_t until);
  void Deliver(const Point& next);
  const emu::Sample& At(std::uint64_t i) const { return window_[i - base_]; }
  std::size_t PulseStart(std::uint64_t frame) const;
  double NextLabelTime() const;

  double seconds_, pulse_s_, pacing_amplitude_;
  const signals::Rendered* rhythm_;
  Sink sink_;

  std::deque<emu::Sample> window_;  // samples from base_ on
  std::uint64_t base_ = 0, total_ = 0, emitted_ = 0;
  double t0_ = 0;
  bool cut_ = false;  // past the run's length: nothing more is recorded
  std::deque<std::uint64_t> pending_frames_;
  bool any_frame_ = false;
  std::uint64_t last_frame_ = 0;
  std::set<std::uint64_t> marks_;

  // The point handed over next, held until the one after it is known.
  bool have_held_ = false;
  Point held_{};
  std::vector<std::string> held_labels_, next_labels_;
  // The next label: its loop's start and its index in the loop.
  double label_start_ = 0;
  std::size_t label_index_ = 0;
  bool labels_done_ = false;
};

}  // namespace orna::cli
