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
bool Numeric(std::string_view s, double* v) {
  std::size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  if (b == std::string_view::npos) return false;
  const std::string_view t = s.substr(b, e - b + 1);
  bool digit = false, point = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c >= '0' && c <= '9') digit = true;
    else if (c == '.' && !point) point = true;
    else if (!((c == '+' || c == '-') && i == 0)) return false;
  }
  if (!digit) return false;
  // strtod wants a terminated string; the usual number fits on the stack.
  char small[64];
  std::string large;
  const char* z = small;
  if (t.size() < sizeof small) {
    t.copy(small, t.size());
    small[t.size()] = '\0';
  } else {
    large.assign(t);
    z = large.c_str();
  }
  errno = 0;
  *v = std::strtod(z, nullptr);
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

bool IsEvent(std::string_view refid) {
  return refid.substr(0, 8) == "MDC_EVT_" && refid != "MDC_EVT_ALARM";
}

// `text` then, when there is `more`, a blank and `more`.
void AppendWord(std::string* text, std::string_view more) {
  if (more.empty()) return;
  if (!text->empty()) *text += ' ';
  *text += more;
}

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
  // Cleared rather than replaced: a receiver's strings and vectors keep their room.
  for (std::string* f : {&c->type, &c->event, &c->control_id, &c->version, &c->processing, &c->sender_app,
                         &c->sender_facility})
    f->clear();
  c->observations.clear();
  c->alarms.clear();
  // Each receiving thread keeps its split tables and decoding room between
  // messages: a monitor sends the same shape every second.
  thread_local Message m;
  // Values with escapes are decoded into these; the rest are views into `text`.
  thread_local std::string msh_room, obr_room, own_room, value_room, type_room, code_room, refid_room, system_room;
  std::string why;
  auto out = [](AckCode code, int error, std::string reason) { return Outcome{code, error, std::move(reason)}; };
  if (!m.Parse(text, &why)) return out(AckCode::AR, 100, std::move(why));
  const Segment& msh = m.segments().front();
  auto header = [&](std::string* to, std::size_t field, std::size_t component = 1) {
    to->assign(m.View(&value_room, msh, field, component));
  };
  header(&c->type, 9, 1);
  header(&c->event, 9, 2);
  header(&c->control_id, 10);
  header(&c->processing, 11);
  header(&c->version, 12);
  header(&c->sender_app, 3);
  header(&c->sender_facility, 4);
  if (c->control_id.empty()) return out(AckCode::AR, 101, "MSH-10, the message control ID, is empty");
  // 2.3 and later: "2.3", "2.3.1", ... "2.9".
  const std::string& v = c->version;
  if (v.size() < 3 || v[0] != '2' || v[1] != '.' || v[2] < '3' || v[2] > '9')
    return out(AckCode::AR, 203, "version '" + v + "' is not 2.3 or later");
  if (c->type != "ORU") return out(AckCode::AR, 200, "message type '" + c->type + "' is not ORU");
  if (c->event != "R01" && c->event != "R40")
    return out(AckCode::AR, 201, "event '" + c->event + "' is neither R01 (observations) nor R40 (alarms)");
  const bool alarms = c->event == "R40";
  const std::string_view msh_time = m.View(&msh_room, msh, 7);
  std::string_view obr_time;
  Alarm* alarm = nullptr;
  int obx_index = 0;
  auto where = [&]() { return "OBX " + std::to_string(obx_index); };
  for (const Segment& s : m.segments()) {
    if (s.id == "OBR") {
      obr_time = m.View(&obr_room, s, 7);
      if (alarms) {
        c->alarms.emplace_back();
        alarm = &c->alarms.back();
      }
      continue;
    }
    if (s.id != "OBX") continue;
    ++obx_index;
    const std::string_view own_time = m.View(&own_room, s, 14);
    const std::string_view time = !own_time.empty() ? own_time : obr_time.empty() ? msh_time : obr_time;
    const std::string_view type = m.View(&type_room, s, 2), code = m.View(&code_room, s, 3, 1),
                           refid = m.View(&refid_room, s, 3, 2), system = m.View(&system_room, s, 3, 3);
    if (type == "NM") {
      if (code.empty() && refid.empty()) return out(AckCode::AE, 101, where() + ": OBX-3 is empty");
      double number = NAN;
      const std::string_view value = m.View(&value_room, s, 5);
      if (!Numeric(value, &number))
        return out(AckCode::AE, 102, where() + ": OBX-5 '" + std::string(value) + "' is not a number");
      if (alarms) continue;
      Observation& o = c->observations.emplace_back();
      o.value = number;
      o.code.assign(code);
      o.text.assign(refid);
      o.system.assign(system);
      o.sub_id.assign(m.View(&value_room, s, 4));
      o.units.assign(m.View(&value_room, s, 6));
      o.units_text.assign(m.View(&value_room, s, 6, 2));
      o.time.assign(time);
      if (!ParseTimestamp(time, &o.epoch)) o.epoch = NAN;
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
        alarm->code.assign(m.View(&value_room, s, 5, 1));
        alarm->text.assign(m.View(&value_room, s, 5, 2));
        alarm->system.assign(m.View(&value_room, s, 5, 3));
        AppendWord(&alarm->text, m.View(&value_room, s, 5, 9));
      } else {
        alarm->code.assign(code);
        alarm->system.assign(system);
        alarm->text.assign(refid);
        const std::string_view said = m.View(&value_room, s, 5);
        if (!said.empty()) {
          alarm->text += ' ';
          alarm->text += said;
        }
      }
      alarm->time.assign(time);
      if (!ParseTimestamp(time, &alarm->epoch)) alarm->epoch = NAN;
    } else if (refid == "MDC_ATTR_EVENT_PHASE" || code == "68481") {
      alarm->phase.assign(m.View(&value_room, s, 5));
    } else if (refid == "MDC_ATTR_ALARM_STATE" || code == "68482") {
      alarm->state.assign(m.View(&value_room, s, 5));
    }
  }
  if (alarms) {
    for (const Alarm& al : c->alarms)
      if (al.code.empty() && al.text.empty())
        return out(AckCode::AE, 101, "an alarm without an event identifier (MDC_EVT_...)");
    if (c->alarms.empty()) return out(AckCode::AE, 101, "an ORU^R40 without an alarm");
  }
  return {};
}

std::string BuildAck(const Content& c, const Outcome& o, double now, std::string_view ack_id) {
  std::string s;
  AppendAck(&s, c, o, now, ack_id);
  return s;
}

void AppendAck(std::string* out, const Content& c, const Outcome& o, double now, std::string_view ack_id) {
  std::string& s = *out;
  s.reserve(s.size() + 160 + c.sender_app.size() + c.sender_facility.size() + c.control_id.size() +
            o.reason.size());
  auto field = [&](std::string_view text) {
    s += '|';
    AppendEscaped(&s, text);
  };
  s += "MSH|^~\\&|ORNA|BENCH";
  field(c.sender_app);
  field(c.sender_facility);
  s += '|';
  AppendTimestamp(&s, now);
  s += "||ACK^";
  AppendEscaped(&s, c.event);
  s += "^ACK";
  field(ack_id);
  field(c.processing.empty() ? std::string_view("P") : std::string_view(c.processing));
  field(c.version.empty() ? std::string_view("2.6") : std::string_view(c.version));
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
}

}  // namespace orna::hl7
