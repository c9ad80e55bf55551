#include "hl7/pcd.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace orna::hl7 {

namespace {

bool IEquals(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && !b[i];
}

// A whole decimal number, as NM allows: sign, digits, one point; blanks around.
bool Numeric(const std::string& s, double* v) {
  std::size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  if (b == std::string::npos) return false;
  const std::string t = s.substr(b, e - b + 1);
  bool digit = false, point = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c >= '0' && c <= '9') digit = true;
    else if (c == '.' && !point) point = true;
    else if (!((c == '+' || c == '-') && i == 0)) return false;
  }
  if (!digit) return false;
  errno = 0;
  *v = std::strtod(t.c_str(), nullptr);
  return errno == 0 && std::isfinite(*v);
}

const char* ErrorName(int error) {
  switch (error) {
    case 100: return "Segment sequence error";
    case 101: return "Required field missing";
    case 102: return "Data type error";
    case 200: return "Unsupported message type";
    case 201: return "Unsupported event code";
    case 203: return "Unsupported version id";
    default: return "Application internal error";
  }
}

bool IsEvent(const std::string& refid) { return refid.rfind("MDC_EVT_", 0) == 0 && refid != "MDC_EVT_ALARM"; }

}  // namespace

std::string Observation::name() const {
  if ((system == "MDC" && code == "147842") || (system == "LN" && code == "8867-4")) return "heart_rate";
  return system + ":" + code;
}

bool Alarm::ended() const {
  return IEquals(phase, "end") || IEquals(phase, "stop") || IEquals(state, "inactive");
}

const char* AckName(AckCode code) {
  switch (code) {
    case AckCode::AA: return "AA";
    case AckCode::AE: return "AE";
    case AckCode::AR: return "AR";
  }
  return "AR";
}

Outcome Interpret(std::string_view text, Content* c) {
  *c = Content();
  // Each receiving thread keeps its split tables between messages: a monitor
  // sends the same shape every second.
  thread_local Message m;
  std::string why;
  auto out = [](AckCode code, int error, std::string reason) { return Outcome{code, error, std::move(reason)}; };
  if (!m.Parse(text, &why)) return out(AckCode::AR, 100, std::move(why));
  c->type = m.Header(9, 1);
  c->event = m.Header(9, 2);
  c->control_id = m.Header(10);
  c->processing = m.Header(11);
  c->version = m.Header(12);
  c->sender_app = m.Header(3);
  c->sender_facility = m.Header(4);
  if (c->control_id.empty()) return out(AckCode::AR, 101, "MSH-10, the message control ID, is empty");
  // 2.3 and later: "2.3", "2.3.1", ... "2.9".
  const std::string& v = c->version;
  if (v.size() < 3 || v[0] != '2' || v[1] != '.' || v[2] < '3' || v[2] > '9')
    return out(AckCode::AR, 203, "version '" + v + "' is not 2.3 or later");
  if (c->type != "ORU") return out(AckCode::AR, 200, "message type '" + c->type + "' is not ORU");
  if (c->event != "R01" && c->event != "R40")
    return out(AckCode::AR, 201, "event '" + c->event + "' is neither R01 (observations) nor R40 (alarms)");
  const bool alarms = c->event == "R40";
  const std::string msh_time = m.Header(7);
  std::string obr_time;
  Alarm* alarm = nullptr;
  int obx_index = 0;
  for (const Segment& s : m.segments()) {
    if (s.id == "OBR") {
      obr_time = m.Get(s, 7);
      if (alarms) {
        c->alarms.emplace_back();
        alarm = &c->alarms.back();
      }
      continue;
    }
    if (s.id != "OBX") continue;
    ++obx_index;
    const std::string where = "OBX " + std::to_string(obx_index);
    const std::string own_time = m.Get(s, 14);
    const std::string& time = !own_time.empty() ? own_time : obr_time.empty() ? msh_time : obr_time;
    std::string type = m.Get(s, 2), code = m.Get(s, 3, 1), refid = m.Get(s, 3, 2), system = m.Get(s, 3, 3);
    if (type == "NM") {
      if (code.empty() && refid.empty()) return out(AckCode::AE, 101, where + ": OBX-3 is empty");
      Observation o;
      const std::string value = m.Get(s, 5);
      if (!Numeric(value, &o.value)) return out(AckCode::AE, 102, where + ": OBX-5 '" + value + "' is not a number");
      if (alarms) continue;
      o.code = std::move(code);
      o.text = std::move(refid);
      o.system = std::move(system);
      o.sub_id = m.Get(s, 4);
      o.units = m.Get(s, 6);
      o.time = time;
      if (!ParseTimestamp(time, &o.epoch)) o.epoch = NAN;
      c->observations.push_back(std::move(o));
      continue;
    }
    if (!alarms) continue;
    if (!alarm) {  // an alarm without its OBR: taken all the same
      c->alarms.emplace_back();
      alarm = &c->alarms.back();
    }
    const bool coded = type == "CWE" || type == "CE" || type == "CNE";
    if (refid == "MDC_EVT_ALARM" || code == "196616" || IsEvent(refid)) {
      // The event: in OBX-5 when coded, otherwise OBX-3 itself with its text in OBX-5.
      if (coded && (refid == "MDC_EVT_ALARM" || code == "196616")) {
        alarm->code = m.Get(s, 5, 1);
        alarm->text = m.Get(s, 5, 2);
        alarm->system = m.Get(s, 5, 3);
        const std::string original = m.Get(s, 5, 9);
        if (!original.empty()) alarm->text += alarm->text.empty() ? original : " " + original;
      } else {
        alarm->code = code;
        alarm->system = system;
        alarm->text = refid;
        const std::string said = m.Get(s, 5);
        if (!said.empty()) alarm->text += " " + said;
      }
      alarm->time = time;
      if (!ParseTimestamp(time, &alarm->epoch)) alarm->epoch = NAN;
    } else if (refid == "MDC_ATTR_EVENT_PHASE" || code == "68481") {
      alarm->phase = m.Get(s, 5);
    } else if (refid == "MDC_ATTR_ALARM_STATE" || code == "68482") {
      alarm->state = m.Get(s, 5);
    }
  }
  if (alarms) {
    for (const Alarm& a : c->alarms)
      if (a.code.empty() && a.text.empty())
        return out(AckCode::AE, 101, "an alarm without an event identifier (MDC_EVT_...)");
    if (c->alarms.empty()) return out(AckCode::AE, 101, "an ORU^R40 without an alarm");
  }
  return {};
}

std::string BuildAck(const Content& c, const Outcome& o, double now, const std::string& ack_id) {
  std::string s;
  s.reserve(160 + c.sender_app.size() + c.sender_facility.size() + c.control_id.size() + o.reason.size());
  auto field = [&](const std::string& text) {
    s += '|';
    s += Escape(text);
  };
  s += "MSH|^~\\&|ORNA|BENCH";
  field(c.sender_app);
  field(c.sender_facility);
  s += '|';
  s += FormatTimestamp(now);
  s += "||ACK^";
  s += Escape(c.event);
  s += "^ACK";
  field(ack_id);
  field(c.processing.empty() ? "P" : c.processing);
  field(c.version.empty() ? "2.6" : c.version);
  s += "\rMSA|";
  s += AckName(o.code);
  field(c.control_id);
  s += '\r';
  if (o.code != AckCode::AA) {
    s += "ERR|||";
    s += std::to_string(o.error);
    s += '^';
    s += ErrorName(o.error);
    s += "^HL70357|E|||";
    field(o.reason);
    s += '\r';
  }
  return s;
}

}  // namespace orna::hl7
