// What a patient monitor reports: observation results (ORU^R01) and alarms
// (ORU^R40), taken out of a parsed message, and the ACK that answers it.
#pragma once

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/message.h"

namespace orna::hl7 {

struct Observation {
  std::string code, text, system;  // OBX-3: identifier, text, coding system ("MDC", "LN")
  std::string sub_id;              // OBX-4
  double value = NAN;              // OBX-5 of a numeric (NM) OBX
  std::string units;               // OBX-6, its identifier
  std::string units_text;          // OBX-6, its text when given ("MDC_DIM_BEAT_PER_MIN")
  // What a person reads: the text, else the identifier.
  const std::string& shown_units() const { return units_text.empty() ? units : units_text; }
  std::string time;                // OBX-14, else OBR-7, else MSH-7, as written
  double epoch = NAN;              // `time` in seconds since 1970 (NaN when absent or unreadable)
  // "heart_rate" for MDC 147842 or LOINC 8867-4, otherwise "MDC:code", "LN:code".
  std::string name() const;
};

struct Alarm {
  std::string code, text, system;  // the event's identifier
  std::string phase, state;        // e.g. "start" / "active", when given
  std::string time;
  double epoch = NAN;
  // Ended or inactive: the alarm is no longer raised.
  bool ended() const;
};

struct Content {
  std::string type, event, control_id, version, processing;  // MSH-9.1, MSH-9.2, MSH-10, MSH-12, MSH-11
  std::string sender_app, sender_facility;                 // MSH-3, MSH-4
  std::vector<Observation> observations;
  std::vector<Alarm> alarms;
};

enum class AckCode { AA, AE, AR };
const char* AckName(AckCode code);

struct Outcome {
  AckCode code = AckCode::AA;
  int error = 0;       // HL7 table 0357: 100 segment sequence, 101 required field missing, 102 data type,
                       // 200 unsupported message type, 201 unsupported event, 203 unsupported version
  std::string reason;  // for the log and ERR-8
};

// Takes a message's text apart. AR: not usable at all (not HL7, a type or
// version we do not take, no control ID); AE: an ORU whose content is wrong
// (a numeric OBX without a number, an alarm without an identifier), of which
// nothing is used; AA otherwise. `content` gets what could be read of MSH
// even when the message is refused, for the ACK. Whatever `content` held is
// replaced; the room it had is reused.
Outcome Interpret(std::string_view text, Content* content);

// The ACK: standard encoding characters; MSH-3/4 ours, MSH-5/6 the sender's,
// MSH-7 `now`, MSH-9 ACK^<event>^ACK, MSH-10 `ack_id`, MSH-11 and MSH-12 as
// received (P and 2.6 when absent); MSA-1 the code, MSA-2 the message's
// control ID; ERR (code^text^HL70357, severity E, reason in ERR-8) unless AA.
std::string BuildAck(const Content& content, const Outcome& outcome, double now, std::string_view ack_id);
// The same, appended to `out`.
void AppendAck(std::string* out, const Content& content, const Outcome& outcome, double now, std::string_view ack_id);

}  // namespace orna::hl7
