// Reads WFDB headers: a record line, then one line per signal, '#' comments
// anywhere. Every refusal names the line.
#include "wfdb_header.h"

#include <charconv>
#include <cmath>

namespace orna::records {

namespace {

constexpr int kMaxSamplesPerFrame = 1000;
constexpr double kMaxFrequency = 1e6;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The first nine blank-separated fields of a line: a signal line's ninth
// starts its description, which runs to the line's end.
struct Fields {
  std::string_view v[9];
  std::size_t n = 0;
  std::size_t size() const { return n; }
  std::string_view operator[](std::size_t i) const { return v[i]; }
};

Fields Tokens(std::string_view line) {
  Fields tokens;
  std::size_t i = 0;
  while (i < line.size() && tokens.n < 9) {
    while (i < line.size() && Blank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !Blank(line[i])) ++i;
    if (i > start) tokens.v[tokens.n++] = line.substr(start, i - start);
  }
  return tokens;
}

template <typename T>
bool Whole(std::string_view s, T* v) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
  return ec == std::errc() && end == s.data() + s.size();
}

// A number at the front of `s`, which then starts after it.
template <typename T>
bool Leading(std::string_view* s, T* v) {
  auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), *v);
  if (ec != std::errc() || end == s->data()) return false;
  s->remove_prefix(static_cast<std::size_t>(end - s->data()));
  return true;
}

bool Fail(std::string* error, int line, const std::string& why) {
  *error = "line " + std::to_string(line) + ": " + why;
  return false;
}

std::string Quoted(std::string_view s) { return "'" + std::string(s.substr(0, 40)) + "'"; }

// "name[/segments] signals [frequency[/counter[(base)]] [frames [time [date]]]]"
bool ParseRecordLine(const Fields& t, int line, Header* h, std::size_t* nsig,
                     std::string* error) {
  const std::string_view name = t[0];
  if (name.find('/') != std::string_view::npos)
    return Fail(error, line, "a multi-segment record (" + Quoted(name) + ") is not played");
  h->name = std::string(name);
  if (t.size() < 2 || !Whole(t[1], nsig)) return Fail(error, line, "the record line needs the number of signals");
  if (t.size() > 2) {
    std::string_view f = t[2];
    double fs = 0;
    if (!Leading(&f, &fs) || !(fs > 0 && fs <= kMaxFrequency) || (!f.empty() && f[0] != '/'))
      return Fail(error, line, "sampling frequency " + Quoted(t[2]) + " is not a number of 0 to 1e6 Hz");
    h->frequency = fs;
  }
  if (t.size() > 3) {
    if (!Whole(t[3], &h->frames) || h->frames < 0)
      return Fail(error, line, "number of samples " + Quoted(t[3]) + " is not a whole number of 0 or more");
    if (h->frames == 0) h->frames = -1;  // 0 is written for "not known"
  }
  return true;
}

// "format[xspf][:skew][+offset]"
bool ParseFormat(std::string_view f, int line, SignalSpec* s, std::string* error) {
  const std::string text = Quoted(f);
  if (!Leading(&f, &s->format)) return Fail(error, line, "signal format " + text + " is not a number");
  if (!f.empty() && f[0] == 'x') {
    f.remove_prefix(1);
    if (!Leading(&f, &s->samples_per_frame) || s->samples_per_frame < 1 ||
        s->samples_per_frame > kMaxSamplesPerFrame)
      return Fail(error, line, "samples per frame in " + text + " not 1 to 1000");
  }
  if (!f.empty() && f[0] == ':') {
    f.remove_prefix(1);
    if (!Leading(&f, &s->skew) || s->skew < 0) return Fail(error, line, "skew in " + text + " not 0 or more");
  }
  if (!f.empty() && f[0] == '+') {
    f.remove_prefix(1);
    if (!Leading(&f, &s->byte_offset) || s->byte_offset < 0)
      return Fail(error, line, "byte offset in " + text + " not 0 or more");
  }
  if (!f.empty()) return Fail(error, line, "signal format " + text + " not understood");
  if (!FormatKnown(s->format))
    return Fail(error, line, "signal format " + std::to_string(s->format) +
                                 " is not read here (8, 16, 24, 32, 61, 80, 160, 212, 310 and 311 are)");
  return true;
}

// "gain[(baseline)][/units]"; true in *baseline_given when written.
bool ParseGain(std::string_view g, int line, SignalSpec* s, bool* baseline_given, std::string* error) {
  const std::string text = Quoted(g);
  if (!Leading(&g, &s->gain) || !std::isfinite(s->gain) || s->gain < 0)
    return Fail(error, line, "gain " + text + " is not a number of 0 or more");
  if (s->gain == 0) s->gain = 200;  // 0 stands for the default
  if (!g.empty() && g[0] == '(') {
    g.remove_prefix(1);
    if (!Leading(&g, &s->baseline) || g.empty() || g[0] != ')')
      return Fail(error, line, "baseline in " + text + " is not a whole number in brackets");
    g.remove_prefix(1);
    *baseline_given = true;
  }
  if (!g.empty() && g[0] == '/') {
    g.remove_prefix(1);
    if (g.empty()) return Fail(error, line, "units missing after '/' in " + text);
    s->units = std::string(g);
    g = {};
  }
  if (!g.empty()) return Fail(error, line, "gain " + text + " not understood");
  return true;
}

bool ParseSignalLine(std::string_view text, const Fields& t, int line, SignalSpec* s,
                     std::string* error) {
  if (t.size() < 2) return Fail(error, line, "a signal line needs a file name and a format");
  s->line = line;
  s->file = std::string(t[0]);
  if (!ParseFormat(t[1], line, s, error)) return false;
  bool baseline_given = false, initial_given = false;
  if (t.size() > 2 && !ParseGain(t[2], line, s, &baseline_given, error)) return false;
  if (t.size() > 3 && !Whole(t[3], &s->adc_resolution))
    return Fail(error, line, "ADC resolution " + Quoted(t[3]) + " is not a whole number");
  if (t.size() > 4 && !Whole(t[4], &s->adc_zero))
    return Fail(error, line, "ADC zero " + Quoted(t[4]) + " is not a whole number");
  if (t.size() > 5) {
    if (!Whole(t[5], &s->initial_value))
      return Fail(error, line, "initial value " + Quoted(t[5]) + " is not a whole number");
    initial_given = true;
  }
  long long ignored = 0;  // checksum and block size: not needed to read the samples
  if (t.size() > 6 && !Whole(t[6], &ignored)) return Fail(error, line, "checksum " + Quoted(t[6]) + " is not a number");
  if (t.size() > 7 && !Whole(t[7], &ignored)) return Fail(error, line, "block size " + Quoted(t[7]) + " is not a number");
  if (t.size() > 8) {
    // The description is the rest of the line, spaces and all.
    std::size_t at = static_cast<std::size_t>(t[8].data() - text.data());
    std::string_view d = text.substr(at);
    while (!d.empty() && Blank(d.back())) d.remove_suffix(1);
    s->description = std::string(d);
  }
  if (!baseline_given) s->baseline = s->adc_zero;
  if (!initial_given) s->initial_value = s->adc_zero;
  return true;
}

}  // namespace

bool FormatKnown(int f) {
  switch (f) {
    case 8: case 16: case 24: case 32: case 61: case 80: case 160: case 212: case 310: case 311:
      return true;
    default:
      return false;
  }
}

bool ParseHeader(std::string_view text, Header* h, std::string* error) {
  *h = Header{};
  bool have_record = false;
  std::size_t nsig = 0;
  int line = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view l = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++line;
    if (l.find('\0') != std::string_view::npos) return Fail(error, line, "the header holds a NUL byte");
    std::size_t first = 0;
    while (first < l.size() && Blank(l[first])) ++first;
    if (first == l.size()) continue;
    if (l[first] == '#') {
      h->comments.emplace_back(l.substr(first + 1));
      continue;
    }
    const Fields t = Tokens(l);
    if (!have_record) {
      if (!ParseRecordLine(t, line, h, &nsig, error)) return false;
      have_record = true;
      continue;
    }
    if (h->signals.size() == nsig)
      return Fail(error, line, "more signal lines than the " + std::to_string(nsig) + " of the record line");
    SignalSpec s;
    if (!ParseSignalLine(l, t, line, &s, error)) return false;
    h->signals.push_back(std::move(s));
  }
  if (!have_record) return Fail(error, line, "no record line");
  if (h->signals.size() != nsig)
    return Fail(error, line, "the record line announces " + std::to_string(nsig) + " signals, " +
                                 std::to_string(h->signals.size()) + " signal lines follow");
  return true;
}

}  // namespace orna::records
