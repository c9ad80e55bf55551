// A stand-in patient monitor for tests and demonstrations, not a model of
// any monitor: it finds the R waves in the samples the virtual instrument
// plays, averages the last beats into a heart rate, and reports it as a
// monitor reports to a central station, over MLLP: an observation result
// (ORU^R01, MDC_ECG_HEART_RATE) every second of signal, and alarms (ORU^R40)
// for tachycardia, bradycardia and asystole.
//
// Its clock is the signal: 5 000 samples make a second, whatever the speed of
// the instrument's clock. Every time in its messages (MSH-7, OBR-7, OBX-14) is
// `base_epoch` plus the seconds of signal played, to the millisecond, in UTC;
// a receiver that knows `base_epoch` reads the signal time back from them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orna::emu {

struct MonitorConfig {
  std::string host = "127.0.0.1";
  int port = 0;
  double base_epoch = 0;      // seconds since 1970 of signal time 0 (0: the system clock at construction)
  double misreport_bpm = 0;   // added to the rate it reports and alarms on (for tests that must fail)
  int average_beats = 4;      // R-R intervals averaged
  double tachycardia_bpm = 120, bradycardia_bpm = 50;  // alarm above / below
  double alarm_delay_s = 3;   // a tachycardia or bradycardia lasts this long before it is raised
  double asystole_s = 4;      // no beat for this long: asystole, raised at once
  std::function<void(const std::string&)> log;  // connection trouble, refused messages
};

struct MonitorAlarm {
  double t = 0;        // signal time it was raised (or ended), s
  std::string event;   // "MDC_EVT_ECG_TACHY", "MDC_EVT_ECG_BRADY", "MDC_EVT_ECG_ASYSTOLE"
  bool ended = false;
};

class VirtualMonitor {
 public:
  explicit VirtualMonitor(MonitorConfig config);
  ~VirtualMonitor();  // sends what is queued for up to a second, then stops
  VirtualMonitor(const VirtualMonitor&) = delete;
  VirtualMonitor& operator=(const VirtualMonitor&) = delete;

  // One sample of the signal (5 000 a second), in mV. Quick: messages are sent on a thread of their own.
  void OnSample(double mV);
  double signal_seconds() const;
  double base_epoch() const;
  // Waits until every message made so far has been answered by the receiver.
  bool Flush(std::chrono::milliseconds timeout);
  std::vector<MonitorAlarm> alarms() const;  // raised and ended, in order
  std::uint64_t messages_acknowledged() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orna::emu
