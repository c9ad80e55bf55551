#include "text.h"

#include <cstdio>

namespace orna::cli {

namespace {

// Length of the valid UTF-8 sequence at `i` and its code point; 0 when the
// byte there begins none.
int DecodeOne(std::string_view s, std::size_t i, char32_t* cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return *cp = c, 1;
  int n;
  char32_t v, min;
  if (c >= 0xC2 && c <= 0xDF) n = 2, v = c & 0x1F, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, v = c & 0x0F, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, v = c & 0x07, min = 0x10000;
  else return 0;
  if (i + static_cast<std::size_t>(n) > s.size()) return 0;
  for (int k = 1; k < n; ++k) {
    const unsigned char t = b(i + static_cast<std::size_t>(k));
    if ((t & 0xC0) != 0x80) return 0;
    v = (v << 6) | (t & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const int n = DecodeOne(text, i, &cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    }
  }
  return out;
}

std::string TerminalSafe(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    char32_t cp;
    const int n = DecodeOne(valid, i, &cp);
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
      switch (cp) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case 0x1B: out += "\\e"; break;
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(cp));
          out += hex;
        }
      }
    } else if (cp == '\\') {
      out += "\\\\";
    } else {
      out.append(valid, i, static_cast<std::size_t>(n));
    }
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

bool Utf8ToUtf16(std::string_view text, std::u16string* out) {
  out->clear();
  std::u16string wide;
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const int n = DecodeOne(text, i, &cp);
    if (n == 0 || cp == 0) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (cp >> 10));
      wide += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      wide += static_cast<char16_t>(cp);
    }
    i += static_cast<std::size_t>(n);
  }
  *out = std::move(wide);
  return true;
}

}  // namespace orna::cli
