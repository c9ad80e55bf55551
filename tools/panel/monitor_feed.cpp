#include "monitor_feed.h"

#include <algorithm>
#include <cstdio>

#include "text.h"

namespace orna::panel {

namespace {
constexpr std::size_t kMaxAlarms = 20;
constexpr std::size_t kMaxValues = 64;  // a monitor reports a few dozen kinds at most
}  // namespace

bool MonitorFeed::Start(const std::string& listen, std::string* error) {
  hl7::ReceiverOptions o;
  if (!hl7::ParseListen(listen, &o.address, &o.port)) {
    *error = "--monitor-hl7 takes [ADDRESS:]PORT, e.g. 2575";
    return false;
  }
  if (o.address != "127.0.0.1")
    std::fprintf(stderr, "orna: warning: listening for HL7 on %s: anybody who reaches it can send results\n",
                 o.address.c_str());
  o.log = [](const std::string& line) { std::fprintf(stderr, "orna: %s\n", cli::TerminalSafe(line).c_str()); };
  o.on_message = [this](const hl7::Content& c, const hl7::Outcome& outcome) {
    if (outcome.code == hl7::AckCode::AA) Take(c);
  };
  if (!receiver_.Start(o, error)) return false;
  listening_ = o.address + ":" + std::to_string(receiver_.port());
  return true;
}

void MonitorFeed::Take(const hl7::Content& c) {
  std::lock_guard<std::mutex> lock(lock_);
  ++messages_;
  for (const auto& ob : c.observations) {
    const std::string name = ob.name();
    auto it = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return v.name == name; });
    if (it == values_.end()) {
      if (values_.size() == kMaxValues) continue;
      it = values_.insert(values_.end(), Value{name, "", "", "", 0});
    }
    *it = {name, ob.shown_units(), ob.time, c.control_id, ob.value};
  }
  for (const auto& a : c.alarms) {
    alarms_.insert(alarms_.begin(), {a.text.empty() ? a.code : a.text, a.phase, a.state, a.time, c.control_id,
                                     !a.ended()});
    if (alarms_.size() > kMaxAlarms) alarms_.pop_back();
  }
}

nlohmann::json MonitorFeed::Snapshot() const {
  if (listening_.empty()) return nullptr;
  using cli::ValidUtf8;
  std::lock_guard<std::mutex> lock(lock_);
  nlohmann::json values = nlohmann::json::array(), alarms = nlohmann::json::array();
  for (const Value& v : values_)
    values.push_back({{"name", ValidUtf8(v.name)}, {"value", v.value}, {"units", ValidUtf8(v.units)},
                      {"time", ValidUtf8(v.time)}, {"message_id", ValidUtf8(v.message_id)}});
  for (const Alarm& a : alarms_)
    alarms.push_back({{"name", ValidUtf8(a.name)}, {"phase", ValidUtf8(a.phase)}, {"state", ValidUtf8(a.state)},
                      {"time", ValidUtf8(a.time)}, {"message_id", ValidUtf8(a.message_id)}, {"active", a.active}});
  return {{"listening", listening_}, {"messages", messages_}, {"values", values}, {"alarms", alarms}};
}

}  // namespace orna::panel
