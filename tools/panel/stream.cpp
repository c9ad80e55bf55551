#include "stream.h"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "library_lock.h"
#include "orna.h"

namespace orna::panel {

namespace {

// Filled by the library's callbacks on its receive thread; bounded so that a
// stalled pump costs memory never, only points (counted).
constexpr std::size_t kCallbackCapacity = 20000;
std::mutex g_cb_lock;
std::vector<cli::Point> g_cb_points;
std::vector<double> g_cb_pacing;
std::uint64_t g_cb_dropped = 0;

void OnGraph(double t, double mV) {
  std::lock_guard<std::mutex> lock(g_cb_lock);
  if (g_cb_points.size() < kCallbackCapacity) g_cb_points.push_back({t, mV, false, 0});
  else ++g_cb_dropped;
}

void OnPacing(double t, double mV) {
  std::lock_guard<std::mutex> lock(g_cb_lock);
  // Four corners per pulse; the rising corner is the pulse.
  if (mV != 0 && (g_cb_pacing.empty() || t - g_cb_pacing.back() > 0.005) &&
      g_cb_pacing.size() < kCallbackCapacity)
    g_cb_pacing.push_back(t);
}

constexpr std::size_t kBatchesKept = 300;          // about 12 s at the pump's pace
constexpr double kRecordSeconds = 1800;  // half an hour: 9 million points, about 300 MB
constexpr std::size_t kRecordLimit = static_cast<std::size_t>(5000 * kRecordSeconds);
constexpr auto kPumpPeriod = std::chrono::milliseconds(40);

void Append(std::string* s, const char* fmt, double v) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, fmt, v);
  s->append(buf, static_cast<std::size_t>(n));
}

}  // namespace

void Stream::Start(emu::VirtualInstrument* vi) {
  UseInstrument(vi);
  pump_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "panel-pump");
    Pump();
  });
}

void Stream::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (pump_.joinable()) pump_.join();
  std::lock_guard<std::mutex> lock(LibraryLock());
  RegisterTimeAmpCB(nullptr);
  RegisterPacingTimeAmpCB(nullptr);
}

void Stream::UseInstrument(emu::VirtualInstrument* vi) {
  std::lock_guard<std::mutex> lock(m_);
  vi_ = vi;
  // The virtual instrument's samples are the better picture of what plays.
  RegisterTimeAmpCB(vi ? nullptr : OnGraph);
  RegisterPacingTimeAmpCB(vi ? nullptr : OnPacing);
  record_period_ = vi ? 1.0 / 5000 : 30.0 / 5000;
  if (vi) vi->clear();
}

void Stream::Take(std::vector<cli::Point>* points) {
  emu::VirtualInstrument* vi;
  {
    std::lock_guard<std::mutex> lock(m_);
    vi = vi_;
  }
  if (vi) {
    // Taken and forgotten in one step, so the instrument's record stays small
    // and no sample is lost between polls.
    const auto samples = vi->take_samples();
    points->reserve(samples.size());
    for (const auto& s : samples) points->push_back({s.t, s.mV, s.range_flag || s.half_step, 0});
  } else {
    std::lock_guard<std::mutex> lock(g_cb_lock);
    points->swap(g_cb_points);
  }
}

// A pacing pulse on the normal range shows only as a step of the pacing
// amplitude and, within the pulse width, a step back; a high-range pulse
// carries the range flag. Either way the pulse is marked where it begins (a
// pulse whose rising step fell in the previous batch, at this batch's start).
void Stream::DetectPacing(std::vector<cli::Point>* points, std::vector<double>* marks) {
  double pa, width_s;
  bool flag_is_pacing;
  {
    std::lock_guard<std::mutex> lock(LibraryLock());
    pa = GetPacingAmplitude();
    width_s = GetPacingDuration() / 1000;
    // The baseline reset test sets the range flag on every sample.
    flag_is_pacing = GetBaselineResetTest() == 0;
  }
  const int width = static_cast<int>(std::ceil(width_s / 0.0002)) + 3;
  const double tol = std::max(0.2 * std::fabs(pa), 0.006);
  auto mark = [&](std::size_t i) {
    (*points)[i].pulse_s = width_s;
    marks->push_back((*points)[i].t);
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < points->size(); ++i) {
    cli::Point& p = (*points)[i];
    const bool gap = prev_t_ < 0 || p.t - prev_t_ > 0.001;
    const double d = p.mV - prev_v_;
    if (!flag_is_pacing) p.high_range = false;
    if (p.high_range) {
      if (!in_flagged_) mark(i);
      in_flagged_ = true;
      pulse_left_ = -1;
    } else {
      in_flagged_ = false;
      if (pa != 0 && !gap) {
        if (pulse_left_ >= 0) {
          if (std::fabs(d + pa) <= tol) {
            mark(start);
            pulse_left_ = -1;
          } else if (--pulse_left_ < 0) {
            pulse_left_ = -1;
          }
        } else if (std::fabs(d - pa) <= tol) {
          pulse_left_ = width;
          start = i;
        }
      }
    }
    prev_v_ = p.mV;
    prev_t_ = p.t;
  }
}

void Stream::Publish(const std::vector<cli::Point>& points, const std::vector<double>& pacing) {
  std::string ev = "data: {\"t\":[";
  ev.reserve(points.size() * 20 + 64);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i) ev += ',';
    Append(&ev, "%.4f", points[i].t);
  }
  ev += "],\"v\":[";
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i) ev += ',';
    Append(&ev, "%.4f", points[i].mV);
  }
  ev += "],\"p\":[";
  for (std::size_t i = 0; i < pacing.size(); ++i) {
    if (i) ev += ',';
    Append(&ev, "%.4f", pacing[i]);
  }
  std::lock_guard<std::mutex> lock(m_);
  ++seq_;
  ev = "id: " + std::to_string(seq_) + "\n" + ev + "],\"seq\":" + std::to_string(seq_) + "}\n\n";
  batches_.emplace_back(seq_, std::move(ev));
  while (batches_.size() > kBatchesKept) batches_.pop_front();
  total_ += points.size();
  if (recording_)
    for (const auto& p : points)
      if (record_.size() < kRecordLimit) record_.push_back(p);
}

void Stream::Pump() {
  std::vector<cli::Point> points;
  std::vector<double> pacing;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_);
      if (cv_.wait_for(lock, kPumpPeriod, [this] { return stop_; })) return;
    }
    points.clear();
    pacing.clear();
    Take(&points);
    bool hardware;
    {
      std::lock_guard<std::mutex> lock(m_);
      hardware = vi_ == nullptr;
    }
    if (hardware) {
      {
        std::lock_guard<std::mutex> lock(g_cb_lock);
        pacing.swap(g_cb_pacing);
      }
      // For a recording's annotations: the graph point at (or after) each pulse.
      double width_s;
      {
        std::lock_guard<std::mutex> lock(LibraryLock());
        width_s = GetPacingDuration() / 1000;
      }
      std::size_t at = 0;
      for (double t : pacing) {
        while (at < points.size() && points[at].t < t) ++at;
        if (at < points.size()) points[at].pulse_s = width_s;
      }
    } else {
      DetectPacing(&points, &pacing);
    }
    if (points.empty() && pacing.empty()) continue;
    Publish(points, pacing);
    cv_.notify_all();
  }
}

std::uint64_t Stream::Next(std::uint64_t seq, std::string* events, int wait_ms) {
  std::unique_lock<std::mutex> lock(m_);
  if (seq == 0) seq = seq_;
  cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return stop_ || seq_ > seq; });
  for (const auto& [n, text] : batches_)
    if (n > seq) *events += text;
  return seq_ > seq ? seq_ : seq;
}

std::string Stream::Between(std::uint64_t after, std::uint64_t upto) {
  std::lock_guard<std::mutex> lock(m_);
  std::string events;
  for (const auto& [n, text] : batches_)
    if (n > after && n <= upto) events += text;
  return events;
}

std::uint64_t Stream::LastSeq() {
  std::lock_guard<std::mutex> lock(m_);
  return seq_;
}

void Stream::StartRecording() {
  std::lock_guard<std::mutex> lock(m_);
  record_.clear();
  recording_ = true;
}

std::vector<cli::Point> Stream::StopRecording(double* period_s) {
  std::lock_guard<std::mutex> lock(m_);
  recording_ = false;
  *period_s = record_period_;
  return std::move(record_);
}

bool Stream::recording() {
  std::lock_guard<std::mutex> lock(m_);
  return recording_;
}

std::size_t Stream::recorded() {
  std::lock_guard<std::mutex> lock(m_);
  return record_.size();
}

bool Stream::record_full() {
  std::lock_guard<std::mutex> lock(m_);
  return record_.size() >= kRecordLimit;
}

std::uint64_t Stream::points_total() {
  std::lock_guard<std::mutex> lock(m_);
  return total_;
}

std::uint64_t Stream::points_dropped() {
  std::lock_guard<std::mutex> lock(g_cb_lock);
  return g_cb_dropped;
}

}  // namespace orna::panel
