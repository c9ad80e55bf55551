#include "played_stream.h"

#include <algorithm>

namespace orna::cli {

namespace {

constexpr std::uint64_t kSamplesPerFrame = 30;
constexpr double kGraphPeriod = kSamplesPerFrame / 5000.0;


}  // namespace

PlayedStream::PlayedStream(double seconds, double pulse_s, double pacing_amplitude, const signals::Rendered* rhythm,
                           Sink sink)
    : seconds_(seconds), pulse_s_(pulse_s), pacing_amplitude_(pacing_amplitude), rhythm_(rhythm), sink_(std::move(sink)) {
  labels_done_ = !rhythm_ || rhythm_->annotations.empty() || !(rhythm_->loop_s > 0);
}

void PlayedStream::AddSamples(const std::vector<emu::Sample>& samples) {
  if (samples.empty()) return;
  if (total_ == 0) t0_ = samples.front().t;
  window_.insert(window_.end(), samples.begin(), samples.end());
  total_ += samples.size();
}

void PlayedStream::AddPulseFrame(std::uint64_t frame) {
  // In the two-pulse modes the library can report a pulse again in the next
  // frame (its start check fires once more a sample later); pulses are at
  // least 150 ms apart, so a report within 10 ms of the last is the same one.
  if (any_frame_ && (frame - last_frame_) * kGraphPeriod <= 0.010) return;
  any_frame_ = true;
  last_frame_ = frame;
  if (pulse_s_ > 0) pending_frames_.push_back(frame);
}

// The first sample of the pulse reported for `frame`. On the high range the
// flag shows it; a small pulse rides on the waveform, so there it is the
// largest step in the pulse's direction.
std::size_t PlayedStream::PulseStart(std::uint64_t frame) const {
  const std::uint64_t hi = std::min<std::uint64_t>(frame * kSamplesPerFrame, total_ - 1);
  const std::uint64_t lo = frame > 0 ? std::min(hi, (frame - 1) * kSamplesPerFrame + 1) : 0;
  for (std::uint64_t i = lo; i <= hi; ++i)
    if (At(i).range_flag && (i == 0 || !At(i - 1).range_flag)) return i;
  std::uint64_t best = hi;
  double best_step = -1e300;
  const double sign = pacing_amplitude_ < 0 ? -1 : 1;
  for (std::uint64_t i = std::max<std::uint64_t>(lo, 1); i <= hi; ++i) {
    const double step = (At(i).mV - At(i - 1).mV) * sign;
    if (step > best_step) best_step = step, best = i;
  }
  return best;
}

void PlayedStream::ApplyPulses(bool final) {
  while (!pending_frames_.empty()) {
    const std::uint64_t f = pending_frames_.front();
    if (f * kSamplesPerFrame >= total_) {
      if (!final) return;  // its samples are still to come
      pending_frames_.pop_front();  // beyond the last sample played
      continue;
    }
    marks_.insert(PulseStart(f));
    pending_frames_.pop_front();
  }
}

void PlayedStream::Advance(std::uint64_t frames) {
  ApplyPulses(false);
  // A pulse is reported with the graph point of its frame or the next one:
  // once the callback has seen two frames more, no report for it can come.
  // A frame's pulse marks one of the samples after the previous frame's first
  // up to its own first: the samples before settled_before(f) are beyond
  // the reach of frame f and all later ones.
  auto settled_before = [](std::uint64_t frame) { return frame == 0 ? 0 : (frame - 1) * kSamplesPerFrame + 1; };
  std::uint64_t until = total_;
  if (pulse_s_ > 0) {
    until = std::min(until, frames >= 1 ? settled_before(frames - 1) : 0);
    if (!pending_frames_.empty()) until = std::min(until, settled_before(pending_frames_.front()));
  }
  Emit(std::max(until, emitted_));
}

void PlayedStream::Finish() {
  ApplyPulses(true);
  Emit(total_);
  if (!have_held_) return;
  // Labels past the last point: kept only when that point is the nearest sample.
  const double last = held_.t;
  while (!labels_done_ && label_start_ <= last) {
    const double t = NextLabelTime();
    if (t - last > 0.5 / rhythm_->samples_per_second) break;
    held_labels_.push_back(rhythm_->annotations[label_index_].label);
    if (++label_index_ == rhythm_->annotations.size()) label_index_ = 0, label_start_ += rhythm_->loop_s;
  }
  sink_(held_, held_labels_);
  have_held_ = false;
}

double PlayedStream::NextLabelTime() const { return label_start_ + rhythm_->annotations[label_index_].t_s; }

void PlayedStream::Emit(std::uint64_t until) {
  for (; emitted_ < until; ++emitted_) {
    if (cut_) continue;
    const emu::Sample& s = At(emitted_);
    const double t = s.t - t0_;
    if (t > seconds_ - 1e-7) {
      cut_ = true;
      continue;
    }
    Point p{t, s.mV, s.range_flag};
    if (marks_.erase(emitted_) > 0) p.pulse_s = pulse_s_;
    Deliver(p);
  }
  // Kept: what a pulse not yet reported may look back on.
  const std::uint64_t keep_from = emitted_ > 2 * kSamplesPerFrame + 1 ? emitted_ - 2 * kSamplesPerFrame - 1 : 0;
  while (base_ < keep_from && !window_.empty()) window_.pop_front(), ++base_;
}

// Each label goes to the point nearest its played time (the earlier on a
// tie); the loop starts with the first point and repeats every loop_s.
void PlayedStream::Deliver(const Point& next) {
  if (!have_held_) {
    have_held_ = true;
    held_ = next;
    // Labels at or before the first point are its own.
    while (!labels_done_ && NextLabelTime() <= next.t) {
      held_labels_.push_back(rhythm_->annotations[label_index_].label);
      if (++label_index_ == rhythm_->annotations.size()) label_index_ = 0, label_start_ += rhythm_->loop_s;
    }
    return;
  }
  next_labels_.clear();
  while (!labels_done_ && NextLabelTime() <= next.t) {
    const double t = NextLabelTime();
    auto& to = t - held_.t <= next.t - t ? held_labels_ : next_labels_;
    to.push_back(rhythm_->annotations[label_index_].label);
    if (++label_index_ == rhythm_->annotations.size()) label_index_ = 0, label_start_ += rhythm_->loop_s;
  }
  sink_(held_, held_labels_);
  held_ = next;
  held_labels_.swap(next_labels_);
}

}  // namespace orna::cli
