// MIT annotation format: 16-bit little-endian words, the top six bits a code,
// the low ten a time step or the datum of a pseudo-code that modifies the
// annotation before it.
#include "wfdb_annotations.h"

#include <algorithm>

namespace orna::records {

namespace {

constexpr int kMaxCode = 49;
constexpr int kSkip = 59, kNum = 60, kSub = 61, kChn = 62, kAux = 63;

bool Fail(std::string* error, std::size_t at, const std::string& why) {
  *error = "byte " + std::to_string(at) + ": " + why;
  return false;
}

}  // namespace

const char* Mnemonic(int code) {
  static const char* const kNames[] = {
      "?", "N", "L", "R", "a", "V", "F", "J", "A", "S", "E", "j", "/", "Q", "~", "?", "|", "?", "s", "T",
      "*", "D", "\"", "=", "p", "B", "^", "t", "+", "u", "?", "!", "[", "]", "e", "n", "@", "x", "f", "(",
      ")", "r"};
  if (code < 0 || code >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "?";
  return kNames[code];
}

std::string LabelText(const Annotation& a) {
  std::string text = Mnemonic(a.code);
  for (char c : a.aux) {
    const unsigned char u = static_cast<unsigned char>(c);
    text += (u <= ' ' || u == 0x7F) ? '_' : c;
  }
  return text;
}

bool ReadAnnotations(const std::uint8_t* d, std::size_t size, std::vector<Annotation>* out, std::string* error) {
  out->clear();
  long long time = 0;
  int chan = 0, num = 0;  // carried on to the annotations that follow
  std::size_t at = 0;
  while (at + 2 <= size) {
    const unsigned word = d[at] | (d[at + 1] << 8);
    const int code = static_cast<int>(word >> 10), datum = static_cast<int>(word & 0x3FF);
    const std::size_t here = at;
    at += 2;
    if (word == 0) return true;  // the end
    if (code <= kMaxCode) {
      time += datum;
      Annotation a;
      a.sample = time;
      a.code = code;
      a.chan = chan;
      a.num = num;
      out->push_back(std::move(a));
      continue;
    }
    switch (code) {
      case kSkip: {
        // A 32-bit step, its high 16-bit word first.
        if (at + 4 > size) return Fail(error, here, "a SKIP cut short");
        const std::uint32_t hi = d[at] | (d[at + 1] << 8), lo = d[at + 2] | (d[at + 3] << 8);
        time += static_cast<std::int32_t>((hi << 16) | lo);
        at += 4;
        if (time < 0) return Fail(error, here, "a SKIP to before the record's start");
        break;
      }
      case kNum:
      case kSub:
      case kChn: {
        // Ten bits of a signed byte's field.
        const int v = datum >= 512 ? datum - 1024 : datum;
        if (code == kNum) num = v;
        if (code == kChn) chan = v;
        if (!out->empty()) {
          Annotation& last = out->back();
          if (code == kNum) last.num = v;
          if (code == kSub) last.subtype = v;
          if (code == kChn) last.chan = v;
        }
        break;
      }
      case kAux: {
        // `datum` bytes of text, padded to an even count.
        const std::size_t n = static_cast<std::size_t>(datum);
        if (at + n > size) return Fail(error, here, "aux text of " + std::to_string(n) + " bytes cut short");
        if (!out->empty()) {
          std::string& aux = out->back().aux;
          aux.clear();
          for (std::size_t i = 0; i < n && d[at + i] != 0; ++i) aux += static_cast<char>(d[at + i]);
        }
        at = std::min(size, at + n + (n & 1));  // a missing last pad byte is let pass
        break;
      }
      default:
        return Fail(error, here, "code " + std::to_string(code) + " is not an annotation code");
    }
  }
  if (at != size) return Fail(error, at, "a word cut short");
  return true;  // ended without the closing 0 word: what was read stands
}

}  // namespace orna::records
