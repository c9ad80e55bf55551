// What a patient monitor reports over HL7 (MLLP), kept for the panel: the
// latest value of each observation and the latest alarms.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hl7/mllp_receiver.h"

namespace orna::panel {

class MonitorFeed {
 public:
  // Listens on `listen` ([ADDRESS:]PORT); false with a message.
  bool Start(const std::string& listen, std::string* error);
  // {"listening": "ADDR:PORT", "values": [...], "alarms": [...]}, null when not listening.
  nlohmann::json Snapshot() const;

 private:
  struct Value {
    std::string name, units, time, message_id;
    double value = 0;
  };
  struct Alarm {
    std::string name, phase, state, time, message_id;
    bool active = true;
  };
  void Take(const hl7::Content& c);

  hl7::MllpReceiver receiver_;
  std::string listening_;
  mutable std::mutex lock_;
  std::vector<Value> values_;  // one per observation, latest
  std::vector<Alarm> alarms_;  // latest first, at most kMaxAlarms
  unsigned long messages_ = 0;
};

}  // namespace orna::panel
