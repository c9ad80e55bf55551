// The monitor's side of `orna run`: an MLLP receiver for what the monitor
// reports, and, on the virtual instrument, the stand-in monitor fed with the
// samples it plays. Each step's reports are taken by time: seconds of signal
// carried in the stand-in's messages, or the arrival time of an outside
// monitor's messages (which needs the instrument to play in real time).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "emulator/virtual_monitor.h"
#include "hl7/mllp_receiver.h"
#include "run/monitor_step.h"

namespace orna::cli::run {

struct RunOptions;
struct Step;
struct StepResult;

class MonitorLink {
 public:
  MonitorLink() = default;
  ~MonitorLink();
  // Listens (and starts the stand-in on `vi`) when the options ask for a
  // monitor; false with a message when that cannot be done.
  bool Start(const RunOptions& options, emu::VirtualInstrument* vi, std::string* error);
  bool active() const { return receiver_ != nullptr; }
  void StepStarted();
  // After the step played: its reports, judged by the step's expectation.
  void Judge(const Step& step, StepResult* result);

 private:
  struct Received {
    double arrival = 0;  // steady clock, s
    hl7::Content content;
  };
  double Now() const;  // the step clock: signal time with the stand-in, steady time otherwise

  std::unique_ptr<hl7::MllpReceiver> receiver_;
  std::unique_ptr<emu::VirtualMonitor> virtual_;
  emu::VirtualInstrument* vi_ = nullptr;
  std::mutex lock_;
  std::vector<Received> received_;  // since the step started
  double step_start_ = 0;
};

}  // namespace orna::cli::run
