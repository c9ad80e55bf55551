#include "run/sequence.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <sstream>

#include <toml++/toml.h>

#include "rhythm_play.h"
#include "run/files.h"
#include "run/rhythm_step.h"
#include "run/settings.h"
#include "text.h"

namespace orna::cli::run {

namespace {

int LineOf(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

// Collects messages with the file's name and a line number.
struct Errors {
  std::string path;
  std::vector<std::string>* out;
  void add(int line, const std::string& message) {
    out->push_back(path + ":" + std::to_string(line) + ": " + message);
  }
};

// Keys of a table in the order they were written (the table itself is sorted).
std::vector<std::pair<std::string, const toml::node*>> InOrder(const toml::table& t) {
  std::vector<std::pair<std::string, const toml::node*>> keys;
  for (auto&& [k, v] : t) keys.emplace_back(std::string(k.str()), &v);
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
    const auto& sa = a.second->source().begin;
    const auto& sb = b.second->source().begin;
    return sa.line != sb.line ? sa.line < sb.line : sa.column < sb.column;
  });
  return keys;
}

// A repeat binding: placeholder name and its value for this expansion.
using Binding = std::vector<std::pair<std::string, const toml::node*>>;

std::string NodeText(const toml::node& n) {
  if (auto s = n.as_string()) return s->get();
  if (auto i = n.as_integer()) return std::to_string(i->get());
  if (auto f = n.as_floating_point()) return Number(f->get());
  if (auto b = n.as_boolean()) return b->get() ? "true" : "false";
  std::ostringstream o;
  if (auto a = n.as_array()) {
    o << "[";
    for (std::size_t i = 0; i < a->size(); ++i) o << (i ? ", " : "") << NodeText(*a->get(i));
    o << "]";
  }
  return o.str();
}

// Replaces "{name}" by the bound values; an unknown placeholder is an error.
bool Substitute(const std::string& in, const Binding& b, std::string* out, std::string* unknown) {
  out->clear();
  for (std::size_t i = 0; i < in.size();) {
    if (in[i] == '{') {
      std::size_t close = in.find('}', i);
      if (close != std::string::npos) {
        std::string name = in.substr(i + 1, close - i - 1);
        auto it = std::find_if(b.begin(), b.end(), [&](const auto& p) { return p.first == name; });
        if (it == b.end()) {
          *unknown = name;
          return false;
        }
        *out += NodeText(*it->second);
        i = close + 1;
        continue;
      }
    }
    *out += in[i++];
  }
  return true;
}

// A value as written, or the repeat value it names when it is exactly "{name}".
const toml::node* Resolve(const toml::node& n, const Binding& b) {
  if (auto s = n.as_string()) {
    const std::string& t = s->get();
    if (t.size() > 2 && t.front() == '{' && t.back() == '}') {
      for (const auto& [name, v] : b)
        if (t == "{" + name + "}") return v;
    }
  }
  return &n;
}


void ParseExpect(const toml::node& node, const Binding& b, Step* step, Errors& err) {
  const int line = LineOf(node);
  auto* t = node.as_table();
  if (!t) {
    err.add(line, "expect must be a table, e.g. { value = 60, tolerance = 5 }");
    return;
  }
  Expectation& e = step->expect;
  for (const auto& [key, raw] : InOrder(*t)) {
    const toml::node* v = Resolve(*raw, b);
    double x;
    if (key == "monitor") {
      step->monitor.kind = MonitorExpect::Kind::Value;
      step->monitor.observation = v->is_string() ? v->as_string()->get() : "";
      if (!ValidObservation(step->monitor.observation))
        err.add(LineOf(*raw), "expect.monitor must name an observation: heart_rate, \"MDC:code\" or \"LN:code\"");
      continue;
    }
    if (!AsNumber(*v, &x) || !std::isfinite(x)) {
      err.add(LineOf(*raw), "expect." + key + " must be a number");
      continue;
    }
    if (key == "value") e.value = x;
    else if (key == "tolerance") e.tolerance = x;
    else if (key == "tolerance_percent") e.tolerance_percent = x;
    else if (key == "min") e.min = x;
    else if (key == "max") e.max = x;
    else if (key == "settle" && x >= 0) step->monitor.settle = x;
    else if (key == "settle") err.add(LineOf(*raw), "expect.settle must be 0 or more seconds");
    else err.add(LineOf(*raw), "unknown key expect." + key + " (value, tolerance, tolerance_percent, min, max, monitor, settle)");
  }
  const bool tol = !std::isnan(e.tolerance), pct = !std::isnan(e.tolerance_percent);
  if (tol && pct) err.add(line, "expect has both tolerance and tolerance_percent: give one");
  if ((tol || pct) && std::isnan(e.value)) err.add(line, "expect has a tolerance but no value");
  if (!std::isnan(e.value) && !tol && !pct) err.add(line, "expect.value needs tolerance or tolerance_percent");
  if (!std::isnan(e.value) && (!std::isnan(e.min) || !std::isnan(e.max)))
    err.add(line, "expect has both value and min/max: give one");
  if (tol && e.tolerance < 0) err.add(line, "expect.tolerance is negative: no answer could pass");
  if (pct && e.tolerance_percent < 0) err.add(line, "expect.tolerance_percent is negative: no answer could pass");
  if (!std::isnan(e.min) && !std::isnan(e.max) && e.min > e.max)
    err.add(line, "expect.min is above expect.max: no answer could pass");
  if (step->timed && !std::isnan(e.max) && e.max < 0)
    err.add(line, "expect.max is negative for a timed step: no time could pass");
  if (!e.judged() && t->size() == 0) err.add(line, "expect is empty");
  if (step->monitor.settle > 0 && !step->monitor.judged()) err.add(line, "expect.settle is for a monitor's reports");
  if (step->monitor.judged() && !e.judged()) err.add(line, "expect.monitor needs a value and tolerance, or min/max");
}

void ParseDevice(const toml::table& t, Sequence* seq, Errors& err) {
  for (const auto& [key, node] : InOrder(t)) {
    if (std::find(std::begin(kDeviceKeys), std::end(kDeviceKeys), key) == std::end(kDeviceKeys))
      err.add(LineOf(*node), "unknown key device." + key + " (manufacturer, model, serial, software, notes)");
    else if (!node->is_string()) err.add(LineOf(*node), "device." + key + " must be a string");
    else if (!node->as_string()->get().empty()) seq->device.emplace_back(key, node->as_string()->get());
  }
}

}  // namespace

double Expectation::lo() const {
  if (!std::isnan(value)) {
    double tol = !std::isnan(tolerance) ? tolerance : std::fabs(value) * tolerance_percent / 100;
    return value - tol;
  }
  return std::isnan(min) ? -std::numeric_limits<double>::infinity() : min;
}

double Expectation::hi() const {
  if (!std::isnan(value)) {
    double tol = !std::isnan(tolerance) ? tolerance : std::fabs(value) * tolerance_percent / 100;
    return value + tol;
  }
  return std::isnan(max) ? std::numeric_limits<double>::infinity() : max;
}

std::string Expectation::describe() const {
  if (!judged()) return "";
  if (!std::isnan(value))
    return Number(value) + " \u00b1 " + (!std::isnan(tolerance) ? Number(tolerance) : Number(tolerance_percent) + " %");
  if (!std::isnan(min) && !std::isnan(max)) return Number(min) + " to " + Number(max);
  if (!std::isnan(min)) return "\u2265 " + Number(min);
  return "\u2264 " + Number(max);
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::Disclosed: return "disclosed";
    case Verdict::Skipped: return "skipped";
    case Verdict::Done: return "done";
  }
  return "?";
}

Verdict Judge(const Expectation& e, double answer) {
  if (!e.judged()) return Verdict::Disclosed;
  // A hair of slack so that 60 ± 5 takes 65 whatever the binary fractions do.
  const double eps = 1e-9 * std::max(1.0, std::fabs(answer));
  return answer >= e.lo() - eps && answer <= e.hi() + eps ? Verdict::Pass : Verdict::Fail;
}

bool ParseSequence(const std::string& text, const std::string& path, Sequence* seq,
                   std::vector<std::string>* errors) {
  Errors err{path, errors};
  const std::size_t errors_before = errors->size();
  seq->path = path;
  seq->checksum = Sha256Hex(text);
  seq->steps.clear();
  seq->device.clear();
  toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    err.add(static_cast<int>(parsed.error().source().begin.line), std::string(parsed.error().description()));
    return false;
  }
  const toml::table& root = parsed.table();
  const toml::array* steps = nullptr;
  for (const auto& [key, node] : InOrder(root)) {
    if (key == "title" && node->is_string()) seq->title = node->as_string()->get();
    else if (key == "source" && node->is_string()) seq->source = node->as_string()->get();
    else if (key == "step" && node->is_array_of_tables()) steps = node->as_array();
    else if (key == "device" && node->is_table()) ParseDevice(*node->as_table(), seq, err);
    else if (key == "title" || key == "source" || key == "step" || key == "device")
      err.add(LineOf(*node), key == "step"     ? "step must be written [[step]]"
                             : key == "device" ? "device must be a table, e.g. [device] with model = \"...\""
                                               : key + " must be a string");
    else err.add(LineOf(*node), "unknown key '" + key + "' (title, source, [device], [[step]])");
  }
  if (seq->title.empty()) err.add(1, "the sequence has no title");
  if (!steps || steps->empty()) {
    err.add(1, "the sequence has no [[step]]");
    return false;
  }

  PlayOptions state;
  int function = 0;
  std::string function_name;
  for (const toml::node& sn : *steps) {
    const toml::table& st = *sn.as_table();
    const int line = LineOf(sn);
    // Expand `repeat` into its bindings: every combination, the first key written varying slowest.
    std::vector<Binding> bindings(1);
    if (auto r = st.get("repeat"); r && r->is_array_of_tables()) {
      // A list of rows: one step per row, the row's values taken together.
      bindings.clear();
      for (const toml::node& row : *r->as_array()) {
        Binding nb;
        for (const auto& [name, v] : InOrder(*row.as_table())) nb.emplace_back(name, v);
        bindings.push_back(nb);
      }
    } else if (r) {
      if (!r->is_table() || r->as_table()->empty()) {
        err.add(LineOf(*r), "repeat must be a table of lists, e.g. { amplitude = [2, 700] }, or a list of tables");
      } else {
        // Counted before it is expanded: a few short lists multiply into millions of steps.
        std::uint64_t count = 1;
        bool overflow = false;
        for (auto&& [name, list] : *r->as_table())
          if (auto* a = list.as_array(); a && !a->empty()) overflow |= __builtin_mul_overflow(count, a->size(), &count);
        if (overflow || seq->steps.size() + count > kMaxSteps) {
          err.add(LineOf(*r), "repeat makes " + (overflow ? std::string("too many") : std::to_string(count)) +
                                  " steps; a sequence may have at most " + std::to_string(kMaxSteps));
          return false;
        }
        for (const auto& [name, list] : InOrder(*r->as_table())) {
          auto* a = list->as_array();
          if (!a || a->empty()) {
            err.add(LineOf(*list), "repeat." + name + " must be a non-empty list");
            continue;
          }
          std::vector<Binding> next;
          for (const Binding& b : bindings)
            for (const toml::node& v : *a) {
              Binding nb = b;
              nb.emplace_back(name, &v);
              next.push_back(nb);
            }
          bindings.swap(next);
        }
      }
    }
    if (seq->steps.size() + bindings.size() > kMaxSteps) {
      err.add(line, "the sequence has more than " + std::to_string(kMaxSteps) + " steps, the most it may have");
      return false;
    }
    for (const Binding& b : bindings) {
      Step step;
      step.line = line;
      PlayOptions own;
      bool ok = true;
      // Key order matters only for messages; `timed` is read first for the expectation checks.
      if (auto t = st.get("timed")) {
        if (auto bv = t->as_boolean()) step.timed = bv->get();
        else err.add(LineOf(*t), "timed must be true or false"), ok = false;
      }
      auto text = [&](const std::string& key, const toml::node& n, std::string* out) {
        if (!n.is_string()) {
          err.add(LineOf(n), key + " must be a string");
          return false;
        }
        std::string unknown;
        if (!Substitute(n.as_string()->get(), b, out, &unknown)) {
          err.add(LineOf(n), key + " names {" + unknown + "}, which no repeat defines");
          return false;
        }
        return true;
      };
      // A rhythm is read first: it decides what the step's settings are.
      bool bad_rhythm = false;
      if (auto r = st.get("rhythm")) {
        const toml::node* v = Resolve(*r, b);
        const signals::RhythmInfo* info = v->is_string() ? signals::FindRhythm(v->as_string()->get()) : nullptr;
        if (st.get("function")) {
          err.add(LineOf(*r), "a step names a function or a rhythm, not both");
        } else if (!info) {
          err.add(LineOf(*r), "unknown rhythm '" + NodeText(*v) + "' (see orna rhythms)");
        } else {
          step.names_function = true;
          function = OutputFuncECGFile;
          function_name = kRhythmFunction;
          state = PlayOptions();
          state.rhythm = info->name;
        }
        bad_rhythm = !info || st.get("function");
        ok &= !bad_rhythm;
      }
      const toml::node* expect = nullptr;
      const toml::node* alarm = nullptr;
      for (const auto& [key, node] : InOrder(st)) {
        if (key == "name") ok &= text(key, *node, &step.name);
        else if (key == "prompt") ok &= text(key, *node, &step.prompt);
        else if (key == "instruction") ok &= text(key, *node, &step.instruction);
        else if (key == "timed" || key == "repeat" || key == "rhythm") continue;
        else if (key == "expect") expect = node;
        else if (key == "expect_alarm" || key == "expect_no_alarm") {
          if (alarm) err.add(LineOf(*node), "a step has one expect_alarm or expect_no_alarm"), ok = false;
          alarm = node;
          const std::string message = ParseAlarmExpect(
              *node, key == "expect_no_alarm",
              [](const toml::node& n, const void* bound) { return Resolve(n, *static_cast<const Binding*>(bound)); },
              &b, &step.monitor);
          if (!message.empty()) err.add(LineOf(*node), message), ok = false;
        }
        else if (key == "duration") {
          const toml::node* v = Resolve(*node, b);
          if (!AsNumber(*v, &step.duration) || !(step.duration >= 0) || step.duration > 3600)
            err.add(LineOf(*node), "duration must be a number of seconds, 0 to 3600"), ok = false;
        } else if (key == "function") {
          const toml::node* v = Resolve(*node, b);
          std::string name = NodeText(*v);
          int fn = (v->is_string() || v->is_integer()) ? FunctionNumber(name) : -1;
          if (fn < 0) {
            err.add(LineOf(*node), "unknown function '" + name + "' (a name or number, as orna play takes them)");
            ok = false;
          } else {
            step.names_function = true;
            function = fn;
            function_name = name;
            state = PlayOptions();  // a new function starts from the defaults
          }
        } else if (key == "settings") {
          auto* t = node->as_table();
          if (bad_rhythm) continue;  // its settings mean nothing without it
          const signals::RhythmInfo* rhythm = state.rhythm.empty() ? nullptr : signals::FindRhythm(state.rhythm);
          if (!t) {
            err.add(LineOf(*node), "settings must be a table, e.g. { amplitude = 1.0 }");
            ok = false;
            continue;
          }
          for (const auto& [skey, sraw] : InOrder(*t)) {
            const toml::node* v = Resolve(*sraw, b);
            std::string message;
            if (rhythm ? !SetRhythmOption(*rhythm, skey, *v, &own, &message) : !SetOption(skey, *v, &own, &message)) {
              err.add(LineOf(*sraw), message);
              ok = false;
            } else {
              step.settings.emplace_back(skey, NodeText(*v));
            }
          }
        } else {
          err.add(LineOf(*node), "unknown key '" + key +
                                     "' (name, function, rhythm, settings, duration, prompt, instruction, timed, expect, expect_alarm, expect_no_alarm, repeat)");
          ok = false;
        }
      }
      if (!st.get("name")) err.add(line, "the step has no name"), ok = false;
      if (function == OutputFuncNone) {
        err.add(line, "the first step must name a function or a rhythm");
        return false;
      }
      if (expect && alarm) err.add(LineOf(*alarm), "a step is judged by expect or by an alarm, not both"), ok = false;
      const bool by_monitor = expect && expect->as_table() && expect->as_table()->get("monitor");
      if (expect) {
        if (step.prompt.empty() && !by_monitor)
          err.add(LineOf(*expect), "expect without a prompt: nothing to judge"), ok = false;
        else ParseExpect(*expect, b, &step, err);
      }
      if (step.monitor.judged()) {
        // The monitor answers: nobody is asked. A step plays at least what its judgement needs.
        if (!step.prompt.empty() || step.timed)
          err.add(line, "a step judged by the monitor has no prompt and is not timed"), ok = false;
        if (step.monitor.kind == MonitorExpect::Kind::Value && step.duration <= step.monitor.settle)
          err.add(line, "the step's duration must be longer than expect.settle"), ok = false;
        step.duration = std::max(step.duration, step.monitor.needs());
      }
      if (step.timed && step.prompt.empty()) err.add(line, "a timed step needs a prompt"), ok = false;
      std::vector<std::string> keys;
      for (const auto& kv : step.settings) keys.push_back(kv.first);
      const bool rhythm = !state.rhythm.empty();
      if (rhythm) MergeRhythmOptions(own, keys, &state);
      else MergeOptions(own, keys, &state);
      step.function = function;
      step.function_name = function_name;
      step.own = own;
      step.state = state;
      state.function = function_name;
      step.state.function = function_name;
      if (ok) {
        std::string misfit = rhythm ? CheckRhythm(state) : CheckFit(state, function, keys);
        if (!misfit.empty()) err.add(line, misfit);
      }
      seq->steps.push_back(step);
    }
  }
  return errors->size() == errors_before;
}

bool LoadSequence(const std::string& path, Sequence* seq, std::vector<std::string>* errors) {
  std::string text, why;
  if (!ReadRegularFile(path, kMaxSequenceFile, &text, &why)) {
    errors->push_back(path + ": cannot read the file: " + why);
    return false;
  }
  return ParseSequence(text, path, seq, errors);
}

}  // namespace orna::cli::run
