#include "hl7/message.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace orna::hl7 {

namespace {

bool Separator(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u > ' ' && u < 0x7f && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

// Part `index` (0-based) of `s` split at `sep`; empty when there are fewer.
std::string_view Part(std::string_view s, char sep, std::size_t index) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < index; ++i) {
    const std::size_t next = s.find(sep, at);
    if (next == std::string_view::npos) return {};
    at = next + 1;
  }
  const std::size_t end = s.find(sep, at);
  return s.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

bool Message::Parse(std::string_view all, std::string* error) {
  // What a large message grew is not kept for the small ones after it.
  if (fields_.capacity() > 4096) std::vector<std::string_view>().swap(fields_);
  if (segments_.capacity() > 1024) std::vector<Segment>().swap(segments_);
  segments_.clear();
  fields_.clear();
  auto fail = [&](const char* why) {
    segments_.clear();
    fields_.clear();
    *error = why;
    return false;
  };
  if (all.size() > kMaxMessage) return fail("the message is larger than 1 MB");
  if (all.size() < 8 || all.compare(0, 3, "MSH") != 0) return fail("the message does not begin with MSH");
  enc_ = Encoding();
  enc_.field = all[3];
  const std::size_t enc_end = all.find(enc_.field, 4);
  const std::string_view chars = all.substr(4, enc_end == std::string_view::npos ? 0 : enc_end - 4);
  // Component, repetition, escape, subcomponent (and, from 2.7, truncation).
  if (!Separator(enc_.field) || chars.size() < 4 || chars.size() > 5)
    return fail("MSH-1 and MSH-2 do not give the encoding characters");
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (!Separator(chars[i]) || chars[i] == enc_.field) return fail("MSH-2 has a character that cannot separate");
    for (std::size_t j = 0; j < i; ++j)
      if (chars[i] == chars[j]) return fail("MSH-2 repeats an encoding character");
  }
  enc_.component = chars[0];
  enc_.repetition = chars[1];
  enc_.escape = chars[2];
  enc_.subcomponent = chars[3];
  special_.fill(false);
  field_sep_.fill(false);
  field_sep_[static_cast<unsigned char>(enc_.field)] = true;
  for (char c : {enc_.component, enc_.repetition, enc_.escape, enc_.subcomponent})
    special_[static_cast<unsigned char>(c)] = true;

  // Segments end with CR; LF and CR LF are taken too, and empty lines skipped.
  // The next CR and the next LF are each searched for once, not at every byte.
  std::size_t cr = all.find('\r'), lf = all.find('\n');
  for (std::size_t at = 0; at < all.size();) {
    if (cr < at) cr = all.find('\r', at);
    if (lf < at) lf = all.find('\n', at);
    const std::size_t end = std::min({cr, lf, all.size()});
    const std::string_view line = all.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    if (segments_.size() == kMaxSegments) return fail("the message has more than 10000 segments");
    if (line.size() < 3 || (line.size() > 3 && line[3] != enc_.field))
      return fail("a segment does not begin with a three-character name");
    Segment s;
    s.id = line.substr(0, 3);
    s.first = fields_.size();
    for (char c : s.id)
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return fail("a segment name is not upper case letters and digits");
    const bool msh = s.id == "MSH";
    if (msh != segments_.empty()) return fail(msh ? "the message has a second MSH" : "the message does not begin with MSH");
    fields_.push_back(s.id);
    if (msh) fields_.push_back(line.substr(3, 1));
    // Fields are short: a look at each byte beats a search call per field.
    const char* const last = line.data() + line.size();
    for (const char* p = line.data() + 3; p != last;) {  // at a field separator
      const char* q = ++p;
      while (q != last && !field_sep_[static_cast<unsigned char>(*q)]) ++q;
      fields_.emplace_back(p, static_cast<std::size_t>(q - p));
      p = q;
    }
    s.count = fields_.size() - s.first;
    segments_.push_back(s);
  }
  if (segments_.empty()) return fail("the message does not begin with MSH");
  return true;
}

const Segment* Message::Find(std::string_view id) const {
  for (const auto& s : segments_)
    if (s.id == id) return &s;
  return nullptr;
}

std::string_view Message::View(std::string* scratch, const Segment& s, std::size_t field, std::size_t component,
                                std::size_t sub, std::size_t rep) const {
  if (field >= s.count || component == 0 || sub == 0) return {};
  std::string_view v = fields_[s.first + field];
  if (s.first == 0 && field <= 2) return v;  // MSH-1 and MSH-2: only MSH starts the table
  // The usual value has no separator and no escape: it is its own first
  // component, and has no others. One look at each byte instead of four searches.
  const char* p = v.data();
  const char* const end = p + v.size();
  while (p != end && !special_[static_cast<unsigned char>(*p)]) ++p;
  if (p == end) return rep == 0 && component == 1 && sub == 1 ? v : std::string_view();
  v = Part(v, enc_.repetition, rep);
  v = Part(v, enc_.component, component - 1);
  v = Part(v, enc_.subcomponent, sub - 1);
  return Decode(v, scratch);
}

std::string Message::Get(const Segment& s, std::size_t field, std::size_t component, std::size_t sub,
                         std::size_t rep) const {
  std::string out;
  const std::string_view v = View(&out, s, field, component, sub, rep);
  if (out.empty()) out.assign(v);  // nothing was decoded into it
  return out;
}

std::string Message::Header(std::size_t field, std::size_t component) const {
  return segments_.empty() ? "" : Get(segments_.front(), field, component);
}

std::string Message::Unescape(std::string_view raw) const {
  std::string out;
  const std::string_view v = Decode(raw, &out);
  if (out.empty()) out.assign(v);
  return out;
}

std::string_view Message::Decode(std::string_view raw, std::string* scratch) const {
  if (raw.find(enc_.escape) == std::string_view::npos) return raw;  // the usual case
  std::string& out = *scratch;
  out.clear();
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::size_t close = raw[i] == enc_.escape ? raw.find(enc_.escape, i + 1) : std::string_view::npos;
    if (close == std::string_view::npos) {  // also an escape character left open: kept as written
      out += raw[i];
      continue;
    }
    const std::string_view e = raw.substr(i + 1, close - i - 1);
    i = close;
    if (e == "F") out += enc_.field;
    else if (e == "S") out += enc_.component;
    else if (e == "T") out += enc_.subcomponent;
    else if (e == "R") out += enc_.repetition;
    else if (e == "E") out += enc_.escape;
    else if (e == ".br") out += '\n';
    else if (e.size() >= 3 && e[0] == 'X' && e.size() % 2 == 1) {
      for (std::size_t k = 1; k + 1 < e.size(); k += 2) {
        const int hi = Hex(e[k]), lo = Hex(e[k + 1]);
        if (hi < 0 || lo < 0) break;
        out += static_cast<char>(hi * 16 + lo);
      }
    }
    // Highlighting, character sets and formatting we do not render: dropped.
  }
  return out;
}

std::string Escape(std::string_view text) {
  std::string out;
  AppendEscaped(&out, text);
  return out;
}

void AppendEscaped(std::string* to, std::string_view text) {
  std::string& out = *to;
  if (text.find_first_of("|^&~\\\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out.reserve(out.size() + text.size());
  for (char c : text) {
    switch (c) {
      case '|': out += "\\F\\"; break;
      case '^': out += "\\S\\"; break;
      case '&': out += "\\T\\"; break;
      case '~': out += "\\R\\"; break;
      case '\\': out += "\\E\\"; break;
      case '\r': out += "\\X0D\\"; break;
      case '\n': out += "\\X0A\\"; break;
      default: out += c;
    }
  }
}

bool ParseTimestamp(std::string_view ts, double* seconds) {
  std::size_t i = 0;
  auto digits = [&](std::size_t n, int* v) {
    if (i + n > ts.size()) return false;
    int x = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const char c = ts[i + k];
      if (c < '0' || c > '9') return false;
      x = x * 10 + (c - '0');
    }
    i += n;
    *v = x;
    return true;
  };
  auto more = [&]() { return i < ts.size() && ts[i] >= '0' && ts[i] <= '9'; };
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  if (!digits(4, &year)) return false;
  if (more() && !digits(2, &month)) return false;
  if (more() && !digits(2, &day)) return false;
  if (more() && !digits(2, &hour)) return false;
  if (more() && !digits(2, &minute)) return false;
  const bool has_seconds = more();
  if (has_seconds && !digits(2, &second)) return false;
  double fraction = 0;
  if (has_seconds && i < ts.size() && ts[i] == '.') {
    ++i;
    double scale = 0.1;
    if (!more()) return false;
    for (int n = 0; more(); ++i, ++n)
      if (n < 9) fraction += (ts[i] - '0') * scale, scale /= 10;
  }
  int offset = 0;
  if (i < ts.size() && (ts[i] == '+' || ts[i] == '-')) {
    const int sign = ts[i++] == '-' ? -1 : 1;
    int hhmm = 0;
    if (!digits(4, &hhmm) || hhmm % 100 >= 60 || hhmm / 100 > 14) return false;
    offset = sign * ((hhmm / 100) * 3600 + (hhmm % 100) * 60);
  }
  if (i != ts.size()) return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 || second > 60)
    return false;
  const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *seconds = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offset) + fraction;
  return true;
}

std::string FormatTimestamp(double seconds) {
  std::string out;
  AppendTimestamp(&out, seconds);
  return out;
}

void AppendTimestamp(std::string* out, double seconds) {
  std::int64_t ms = std::llround(seconds * 1000);
  const std::int64_t day_ms = 86400000;
  std::int64_t days = ms / day_ms, in_day = ms % day_ms;
  if (in_day < 0) in_day += day_ms, --days;
  // The civil date of a day count (proleptic Gregorian), the inverse of DaysFromCivil.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld%02u%02u%02d%02d%02d.%03d+0000", static_cast<long long>(y), m, d,
                static_cast<int>(in_day / 3600000), static_cast<int>(in_day / 60000 % 60),
                static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
  out->append(buf);
}

}  // namespace orna::hl7
