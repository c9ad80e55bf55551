#include "run/monitor_link.h"

#include <chrono>
#include <cstdio>

#include "run/run.h"
#include "text.h"

namespace orna::cli::run {

namespace {

double Steady() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
constexpr std::size_t kMaxKept = 100000;  // messages of one step; a monitor sends a few a second

}  // namespace

MonitorLink::~MonitorLink() {
  if (vi_) vi_->set_sample_listener(nullptr);
  virtual_.reset();  // before the receiver it sends to
  receiver_.reset();
}

bool MonitorLink::Start(const RunOptions& o, emu::VirtualInstrument* vi, std::string* error) {
  if (o.monitor_hl7.empty() && !o.virtual_monitor) return true;
  hl7::ReceiverOptions ro;
  if (!o.monitor_hl7.empty() && !hl7::ParseListen(o.monitor_hl7, &ro.address, &ro.port)) {
    *error = "--monitor-hl7 takes [ADDRESS:]PORT, e.g. 2575 or 0.0.0.0:2575";
    return false;
  }
  if (ro.address != "127.0.0.1")
    std::fprintf(stderr, "orna: warning: listening for HL7 on %s: anybody who reaches it can send results\n",
                 ro.address.c_str());
  ro.log = [](const std::string& line) { std::fprintf(stderr, "orna: %s\n", TerminalSafe(line).c_str()); };
  ro.on_message = [this](const hl7::Content& c, const hl7::Outcome& outcome) {
    if (outcome.code != hl7::AckCode::AA) return;
    std::lock_guard<std::mutex> lock(lock_);
    if (received_.size() < kMaxKept) received_.push_back({Steady(), c});
  };
  receiver_ = std::make_unique<hl7::MllpReceiver>();
  if (!receiver_->Start(ro, error)) {
    receiver_.reset();
    return false;
  }
  if (o.virtual_monitor) {
    if (!vi) {
      *error = "--virtual-monitor watches the virtual instrument: it needs --emulate";
      receiver_.reset();
      return false;
    }
    emu::MonitorConfig mc;
    mc.port = receiver_->port();
    mc.misreport_bpm = o.misreport_bpm;
    mc.log = ro.log;
    virtual_ = std::make_unique<emu::VirtualMonitor>(mc);
    vi_ = vi;
    emu::VirtualMonitor* vm = virtual_.get();
    vi->set_sample_listener([vm](const emu::Sample& s) { vm->OnSample(s.mV); });
  } else if (vi && o.speed != 1) {
    std::fprintf(stderr, "orna: warning: a monitor outside reports in real time: play with --speed 1\n");
  }
  return true;
}

double MonitorLink::Now() const { return virtual_ ? virtual_->signal_seconds() : Steady(); }

void MonitorLink::StepStarted() {
  if (!active()) return;
  if (virtual_) virtual_->Flush(std::chrono::seconds(5));  // the last step's reports are not this one's
  std::lock_guard<std::mutex> lock(lock_);
  received_.clear();
  step_start_ = Now();
}

void MonitorLink::Judge(const Step& st, StepResult* x) {
  if (!st.monitor.judged()) return;
  x->answered = true;
  x->source = kSourceMonitor;
  x->verdict = Verdict::Fail;
  if (!active()) {
    x->reason = "no monitor: give --monitor-hl7 PORT, or --virtual-monitor with --emulate";
    return;
  }
  if (virtual_ && !virtual_->Flush(std::chrono::seconds(10))) x->reason = "the virtual monitor's reports did not all arrive";
  const double end = Now() - step_start_;
  std::vector<Received> got;
  {
    std::lock_guard<std::mutex> lock(lock_);
    got.swap(received_);
  }
  // The stand-in's message times are signal time; an outside monitor's clock is its own, so arrival counts.
  auto when = [&](double epoch, double arrival) {
    return virtual_ ? epoch - virtual_->base_epoch() - step_start_ : arrival - step_start_;
  };
  for (const Received& r : got) {
    for (const auto& ob : r.content.observations) {
      MonitorReading m;
      m.t = when(ob.epoch, r.arrival);
      m.name = ob.name();
      m.value = ob.value;
      m.units = ob.shown_units();
      m.time = ob.time;
      m.message_id = r.content.control_id;
      if (m.t >= -1e-6 && m.t <= end + 1e-6) x->monitor.push_back(m);
    }
    for (const auto& a : r.content.alarms) {
      MonitorReading m;
      m.t = when(a.epoch, r.arrival);
      m.name = a.text.empty() ? a.code : a.text;
      m.alarm = true;
      m.ended = a.ended();
      m.time = a.time;
      m.message_id = r.content.control_id;
      if (m.t >= -1e-6 && m.t <= end + 1e-6) x->monitor.push_back(m);
    }
  }
  for (auto& m : x->monitor) m.t = std::round(m.t * 1000) / 1000;
  const Judged j = JudgeMonitor(st.monitor, st.expect, &x->monitor);
  x->verdict = j.pass ? Verdict::Pass : Verdict::Fail;
  x->value = j.value;
  x->answer = j.answer;
  if (x->reason.empty()) x->reason = j.reason;
}

}  // namespace orna::cli::run
