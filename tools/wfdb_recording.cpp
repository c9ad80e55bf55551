#include "wfdb_recording.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace orna::cli {

namespace {

constexpr int kNote = 22;
constexpr int kPacerSpike = 26;  // a pacing pulse
constexpr int kRhythm = 28;
constexpr int kSkip = 59;
constexpr int kAux = 63;
constexpr int kMaxInterval = 1023;  // the 10 bits of an annotation word

// Code of each beat or event mnemonic; 0: not one.
int MnemonicCode(char c) {
  static const char kTable[] = {
      0,   'N', 'L', 'R', 'a', 'V', 'F', 'J', 'A', 'S', 'E', 'j', '/', 'Q', '~', 0,   '|', 0,   's', 'T', '*',
      'D', '"', '=', 'p', 'B', '^', 't', '+', 'u', '?', '!', '[', ']', 'e', 'n', '@', 'x', 'f', '(', ')', 'r'};
  for (int code = 1; code < static_cast<int>(sizeof kTable); ++code)
    if (kTable[code] == c && c != 0) return code;
  return 0;
}

void PutWord(std::vector<std::uint8_t>* out, unsigned word) {
  out->push_back(static_cast<std::uint8_t>(word & 0xFF));
  out->push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
}

void PutWord(std::vector<std::uint8_t>* out, int code, unsigned interval) {
  PutWord(out, (static_cast<unsigned>(code) << 10) | interval);
}

bool EndsIn(const std::string& path, const char* extension) {
  const std::size_t n = std::strlen(extension);
  if (path.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != extension[i]) return false;
  return true;
}

// Lines of a header hold no line breaks.
std::string OneLine(std::string s) {
  std::replace_if(s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return s;
}

}  // namespace

int WfdbCode(const std::string& label, std::string* aux) {
  aux->clear();
  if (label.size() == 1)
    if (const int code = MnemonicCode(label[0]); code > 0) return code;
  // A record's label: its mnemonic, then its text ("+(N", "N_x").
  if (label.size() > 1 && label[0] != '(')
    if (const int code = MnemonicCode(label[0]); code > 0) {
      *aux = label.substr(1);
      return code;
    }
  *aux = label;
  return !label.empty() && label[0] == '(' ? kRhythm : kNote;
}

std::vector<std::uint8_t> WfdbAnnotations(const std::vector<WfdbNote>& notes) {
  std::vector<std::uint8_t> out;
  std::uint64_t last = 0;
  for (const WfdbNote& n : notes) {
    std::string aux;
    const int code = n.pacing ? kPacerSpike : WfdbCode(n.label, &aux);
    std::uint64_t interval = n.sample - last;
    last = n.sample;
    if (interval > kMaxInterval) {
      // The whole interval in a skip: 32 bits, high half first.
      const auto skip = static_cast<std::uint32_t>(std::min<std::uint64_t>(interval, 0x7FFFFFFF));
      PutWord(&out, kSkip, 0);
      PutWord(&out, skip >> 16);
      PutWord(&out, skip & 0xFFFF);
      interval = 0;
    }
    PutWord(&out, code, static_cast<unsigned>(interval));
    if (!aux.empty()) {
      const std::size_t len = std::min<std::size_t>(aux.size(), 255);
      PutWord(&out, kAux, static_cast<unsigned>(len));
      out.insert(out.end(), aux.begin(), aux.begin() + static_cast<std::ptrdiff_t>(len));
      if (len % 2) out.push_back(0);
    }
  }
  PutWord(&out, 0u);
  return out;
}

bool IsWfdbPath(const std::string& path) { return EndsIn(path, ".hea"); }

double WfdbGain(double peak_mV) {
  if (peak_mV * 1000 <= 32767) return 1000;
  return std::max(1.0, std::floor(32767 / peak_mV));
}

bool WriteWfdb(const std::string& path, double period_s, std::uint64_t n, double peak_mV,
               const std::function<std::size_t(double*, std::size_t)>& read, std::vector<WfdbNote> notes,
               const std::vector<std::string>& comments) {
  if (!IsWfdbPath(path) || !(period_s > 0)) return false;
  const std::string base = path.substr(0, path.size() - 4);
  const std::size_t slash = base.find_last_of('/');
  const std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
  if (name.empty()) return false;
  const double gain = WfdbGain(peak_mV);

  FILE* dat = std::fopen((base + ".dat").c_str(), "wb");
  if (!dat) return false;
  bool ok = true;
  std::int16_t first = 0, checksum = 0;
  std::vector<double> values(8192);
  std::vector<std::uint8_t> bytes;
  for (std::uint64_t done = 0; ok && done < n;) {
    const std::size_t got = read(values.data(), static_cast<std::size_t>(std::min<std::uint64_t>(values.size(), n - done)));
    if (got == 0) break;
    bytes.resize(2 * got);
    for (std::size_t k = 0; k < got; ++k) {
      // -32768 stands for a missing sample in this format.
      const long v = std::clamp(std::lround(values[k] * gain), -32767L, 32767L);
      const auto word = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
      if (done + k == 0) first = static_cast<std::int16_t>(v);
      checksum = static_cast<std::int16_t>(static_cast<std::uint16_t>(checksum) + word);
      bytes[2 * k] = static_cast<std::uint8_t>(word & 0xFF);
      bytes[2 * k + 1] = static_cast<std::uint8_t>(word >> 8);
    }
    ok = std::fwrite(bytes.data(), 1, bytes.size(), dat) == bytes.size();
    done += got;
  }
  ok = std::fclose(dat) == 0 && ok;

  std::stable_sort(notes.begin(), notes.end(), [](const WfdbNote& a, const WfdbNote& b) { return a.sample < b.sample; });
  const std::vector<std::uint8_t> atr = WfdbAnnotations(notes);
  FILE* a = std::fopen((base + ".atr").c_str(), "wb");
  if (!a) return false;
  ok = std::fwrite(atr.data(), 1, atr.size(), a) == atr.size() && ok;
  ok = std::fclose(a) == 0 && ok;

  FILE* hea = std::fopen(path.c_str(), "w");
  if (!hea) return false;
  std::fprintf(hea, "%s 1 %.12g %llu\n", name.c_str(), 1.0 / period_s, static_cast<unsigned long long>(n));
  std::fprintf(hea, "%s.dat 16 %.12g(0)/mV 16 0 %d %d 0 ECG\n", name.c_str(), gain, first, checksum);
  for (const std::string& c : comments) std::fprintf(hea, "# %s\n", OneLine(c).c_str());
  ok = std::fclose(hea) == 0 && ok;
  return ok;
}

}  // namespace orna::cli
