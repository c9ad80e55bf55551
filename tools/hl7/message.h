// HL7 v2 messages: split into segments and fields by the message's own
// encoding characters (MSH-1, MSH-2), with escape sequences decoded on access.
// Bounded and without recursion: the text is scanned once when parsed; a
// field is split into repetitions, components and subcomponents only when it
// is asked for.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orna::hl7 {

// Anything larger is refused before it is looked at (a monitor's message is a few kB).
constexpr std::size_t kMaxMessage = 1 << 20;
constexpr std::size_t kMaxSegments = 10000;

struct Encoding {
  char field = '|', component = '^', repetition = '~', escape = '\\', subcomponent = '&';
};

struct Segment {
  std::string_view id;  // "MSH", "OBX", ...
  std::size_t first = 0, count = 0;  // its fields in the message: field n is at first + n; field 0 is the id
};

class Message {
 public:
  // Splits `text`, which must outlive the message (it is not copied). False,
  // with a reason, when it is not an HL7 v2 message: no MSH first, bad
  // encoding characters, too large.
  bool Parse(std::string_view text, std::string* error);

  const Encoding& encoding() const { return enc_; }
  const std::vector<Segment>& segments() const { return segments_; }
  const Segment* Find(std::string_view id) const;

  // Field `field` of `s` as written; empty when absent.
  std::string_view Raw(const Segment& s, std::size_t field) const {
    return field < s.count ? fields_[s.first + field] : std::string_view();
  }
  // Field `field` of `s`, repetition `rep` (0-based), component and
  // subcomponent (1-based, as HL7 counts), escapes decoded; empty when absent.
  // In MSH, field 1 is the field separator and field 2 the encoding characters.
  std::string Get(const Segment& s, std::size_t field, std::size_t component = 1, std::size_t sub = 1,
                  std::size_t rep = 0) const;
  // The same without a copy: a view into the text, or into `*scratch` when
  // the value has escapes to decode. Valid until the next use of `scratch`.
  std::string_view View(std::string* scratch, const Segment& s, std::size_t field, std::size_t component = 1,
                        std::size_t sub = 1, std::size_t rep = 0) const;
  // The same for MSH.
  std::string Header(std::size_t field, std::size_t component = 1) const;

  std::string Unescape(std::string_view raw) const;
  // `raw` itself when it has no escape character, else decoded into `*scratch`.
  std::string_view Decode(std::string_view raw, std::string* scratch) const;

 private:
  Encoding enc_;
  // The component, repetition, subcomponent and escape characters.
  std::array<bool, 256> special_{};
  std::array<bool, 256> field_sep_{};  // only the field separator
  std::vector<Segment> segments_;
  std::vector<std::string_view> fields_;  // of every segment, in order
};

// `text` with the standard encoding characters and CR escaped, for a field of
// a message written with them.
std::string Escape(std::string_view text);
// The same, appended to `out`.
void AppendEscaped(std::string* out, std::string_view text);

// An HL7 TS/DTM value (YYYY[MM[DD[HH[MM[SS[.S...]]]]]][+/-ZZZZ]) as seconds
// since 1970-01-01 UTC. A value without an offset is read as UTC. False when
// it is not one.
bool ParseTimestamp(std::string_view ts, double* seconds);
// Seconds since 1970 as a UTC TS to the millisecond: "20260101120000.000+0000".
std::string FormatTimestamp(double seconds);
// The same, appended to `out`.
void AppendTimestamp(std::string* out, double seconds);

}  // namespace orna::hl7
