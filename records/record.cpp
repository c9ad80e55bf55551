// A WFDB record from its header, signal file and annotation file; the signal
// chosen, its microvolts, an excerpt resampled for playing.
#include "record.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "resample.h"
#include "wfdb_annotations.h"
#include "wfdb_header.h"
#include "wfdb_signal.h"

namespace orna::records {

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  if (s.size() < tail.size()) return false;
  return std::equal(tail.rbegin(), tail.rend(), s.rbegin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Only regular files are records: opening a FIFO would wait for a writer
// forever, and a device may never end.
bool IsRegular(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const std::string& path) { return IsRegular(path); }

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be opened";
    return false;
  }
  // In one read: a byte at a time costs longer than decoding an hour.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0);
  data->resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  in.read(reinterpret_cast<char*>(data->data()), static_cast<std::streamsize>(data->size()));
  if (in.bad() || in.gcount() != static_cast<std::streamsize>(data->size())) {
    *error = path + ": cannot be read";
    return false;
  }
  return true;
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool LooksLikeEdf(const std::string& path) {
  if (EndsWith(path, ".edf") || EndsWith(path, ".bdf") || EndsWith(path, ".rec")) return true;
  std::ifstream in(path, std::ios::binary);
  char head[8] = {};
  in.read(head, sizeof head);
  return in.gcount() == 8 && (std::string(head, 8) == "0       " || std::string(head + 1, 7) == "BIOSEMI");
}

std::string SignalName(const SignalSpec& s, std::size_t i) {
  return s.description.empty() ? "signal " + std::to_string(i) : s.description;
}

bool LoadWfdb(const std::string& header_path, const RecordRequest& request, Record* record, std::string* error) {
  std::vector<std::uint8_t> text;
  if (!ReadFile(header_path, &text, error)) return false;
  Header h;
  std::string why;
  if (!ParseHeader(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), &h, &why)) {
    *error = header_path + " " + why;
    return false;
  }
  for (std::size_t i = 0; i < h.signals.size(); ++i) record->signal_names.push_back(SignalName(h.signals[i], i));
  if (h.signals.empty()) {
    *error = header_path + ": the record has no signals";
    return false;
  }
  const long found = FindSignal(record->signal_names, request.signal);
  if (found < 0) {
    *error = header_path + ": no signal '" + request.signal + "' (the record has " + std::to_string(h.signals.size()) +
             ", numbered from 0)";
    return false;
  }
  const SignalSpec& chosen = h.signals[static_cast<std::size_t>(found)];
  record->chosen = static_cast<std::size_t>(found);
  const double per = MicrovoltsPer(chosen.units);
  if (per == 0) {
    *error = header_path + " line " + std::to_string(chosen.line) + ": " + record->signal_names[found] + " is in '" +
             chosen.units + "', not a voltage";
    return false;
  }
  if (chosen.file == "-") {
    *error = header_path + " line " + std::to_string(chosen.line) + ": samples on standard input are not read";
    return false;
  }
  // Every signal stored in the chosen one's file, in order.
  std::vector<SignalSpec> group;
  std::size_t index = 0;
  for (const SignalSpec& s : h.signals) {
    if (s.file != chosen.file) continue;
    if (&s == &chosen) index = group.size();
    group.push_back(s);
  }
  const std::string data_path = Folder(header_path) + chosen.file;
  std::vector<std::uint8_t> data;
  if (!ReadFile(data_path, &data, error)) return false;
  std::vector<std::vector<std::int32_t>> samples;
  if (!DecodeSignalFile(group, data.data(), data.size(), h.frames, &samples, &why)) {
    *error = (why.rfind("line ", 0) == 0 ? header_path + " " : data_path + ": ") + why;
    return false;
  }
  data = {};
  // Only the chosen signal is kept past here.
  const std::vector<std::int32_t> adu = std::move(samples[index]);
  samples = {};
  // A skewed signal's sample for frame f is stored `skew` frames later.
  const std::size_t skip =
      std::min<std::size_t>(adu.size(), static_cast<std::size_t>(std::min<long long>(
                                            chosen.skew * chosen.samples_per_frame, static_cast<long long>(adu.size()))));
  record->samples_per_second = h.frequency * chosen.samples_per_frame;
  // Room for twice the samples: playing doubles them where they are, and
  // pages reserved but never written cost nothing.
  record->microvolts.reserve(2 * (adu.size() - skip));
  record->microvolts.resize(adu.size() - skip);
  double held = 0;
  for (std::size_t i = skip; i < adu.size(); ++i) {
    if (adu[i] == kInvalidSample) {
      ++record->invalid;
    } else {
      held = (static_cast<double>(adu[i]) - static_cast<double>(chosen.baseline)) / chosen.gain * per;
    }
    record->microvolts[i - skip] = held;
  }

  // Annotations: RECORD.atr unless another annotator is asked for; a missing
  // default file only means none.
  const std::string annotator = request.annotator.empty() ? "atr" : request.annotator;
  const std::string ann_path = header_path.substr(0, header_path.size() - 4) + "." + annotator;
  if (!Exists(ann_path)) {
    if (!request.annotator.empty()) {
      *error = ann_path + ": cannot be opened";
      return false;
    }
    record->note = "no " + ann_path + ": played without annotations";
    return true;
  }
  std::vector<std::uint8_t> ann;
  if (!ReadFile(ann_path, &ann, error)) return false;
  std::vector<Annotation> annotations;
  if (!ReadAnnotations(ann.data(), ann.size(), &annotations, &why)) {
    *error = ann_path + " " + why;
    return false;
  }
  for (const Annotation& a : annotations)
    record->labels.push_back({static_cast<double>(a.sample) / h.frequency, LabelText(a)});
  return true;
}

bool EcgLike(const std::string& lower) {
  static const char* const kLeads[] = {"i", "ii", "iii", "avr", "avl", "avf", "v1", "v2", "v3", "v4",
                                       "v5", "v6", "mli", "mlii", "mliii", "ml", "mv1", "v"};
  if (lower.find("ecg") != std::string::npos || lower.find("ekg") != std::string::npos) return true;
  return std::find_if(std::begin(kLeads), std::end(kLeads), [&](const char* l) { return lower == l; }) !=
         std::end(kLeads);
}

// "ECG II", "ECG Lead II", "II" all read as "ii".
std::string LeadOf(std::string lower) {
  for (const char* word : {"ecg", "ekg", "lead"}) {
    const std::size_t at = lower.find(word);
    if (at != std::string::npos) lower.erase(at, std::char_traits<char>::length(word));
  }
  lower.erase(std::remove_if(lower.begin(), lower.end(), [](char c) { return c == ' ' || c == '-' || c == '_'; }),
              lower.end());
  return lower;
}

}  // namespace

long FindSignal(const std::vector<std::string>& names, const std::string& wanted) {
  if (!wanted.empty()) {
    for (std::size_t i = 0; i < names.size(); ++i)
      if (Lower(names[i]) == Lower(wanted)) return static_cast<long>(i);
    char* end = nullptr;
    const long n = std::strtol(wanted.c_str(), &end, 10);
    if (*end == 0 && std::isdigit(static_cast<unsigned char>(wanted[0])) && n >= 0 &&
        static_cast<std::size_t>(n) < names.size())
      return n;
    return -1;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string lead = LeadOf(Lower(names[i]));
    if (lead == "ii" || lead == "mlii") return static_cast<long>(i);
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    if (EcgLike(Lower(names[i])) || EcgLike(LeadOf(Lower(names[i])))) return static_cast<long>(i);
  return 0;
}

double MicrovoltsPer(const std::string& units) {
  if (units == "MV") return 0;  // megavolts: surely not an ECG
  const std::string u = Lower(units);
  if (u == "mv") return 1000;
  if (u == "uv" || u == "\xc2\xb5v" || u == "\xce\xbcv") return 1;  // u, micro sign, Greek mu
  if (u == "v") return 1e6;
  if (u == "nv") return 1e-3;
  return 0;
}

bool LoadRecord(const RecordRequest& request, Record* record, std::string* error) {
  *record = Record{};
  const std::string& path = request.path;
  if (EndsWith(path, ".hea")) return LoadWfdb(path, request, record, error);
  if (Exists(path + ".hea")) return LoadWfdb(path + ".hea", request, record, error);
  if (Exists(path) && LooksLikeEdf(path)) return LoadEdf(request, record, error);
  *error = path + ": neither a WFDB record (no " + path + ".hea) nor an EDF, EDF+ or BDF file";
  return false;
}

bool MakeExcerpt(Record* record, double start_s, double seconds, double gain, double rate, Excerpt* out,
                 std::string* error) {
  Record& r = *record;
  *out = Excerpt{};
  out->rate = rate;
  const double fs = r.samples_per_second;
  const double length_s = static_cast<double>(r.microvolts.size()) / fs;
  const double first = std::round(start_s * fs);
  if (!(first >= 0 && first < static_cast<double>(r.microvolts.size()))) {
    char text[96];
    std::snprintf(text, sizeof text, "--start %g s is past the record's end (%g s)", start_s, length_s);
    *error = text;
    return false;
  }
  const std::size_t s0 = static_cast<std::size_t>(first);
  out->start_s = first / fs;
  const double left = static_cast<double>(r.microvolts.size() - s0) / fs;
  out->seconds = seconds > 0 ? std::min(seconds, left) : left;
  const std::size_t count = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(out->seconds * rate)));
  const std::size_t n_in = std::min(r.microvolts.size() - s0, static_cast<std::size_t>(std::ceil(out->seconds * fs)) + 2);
  if (fs == rate) {
    // Already at the rate: the samples move, past the excerpt's end the line
    // through its first and last goes on, as the resampler would give.
    std::vector<double>& v = r.microvolts;
    const double first_uV = v[s0], slope = n_in > 1 ? (v[s0 + n_in - 1] - first_uV) / static_cast<double>(n_in - 1) : 0.0;
    v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(s0));
    v.resize(std::min(v.size(), n_in));
    for (std::size_t k = v.size(); k < count; ++k) v.push_back(first_uV + slope * static_cast<double>(k));
    v.resize(count);
    // A short excerpt of a long record gives the rest back; room for twice
    // the excerpt is what loading it needs next.
    if (v.capacity() > 2 * count) v.shrink_to_fit();
    out->microvolts = std::move(v);
    v = {};
  } else {
    out->microvolts.reserve(2 * count);  // as above: doubled where it is
    if (!Resample(r.microvolts.data() + s0, n_in, fs, rate, count, &out->microvolts, error)) return false;
    r.microvolts = {};
  }
  for (double& v : out->microvolts) {
    v *= gain;
    out->peak_uV = std::max(out->peak_uV, std::fabs(v));
    out->beyond += std::fabs(v) > 5000;
  }
  for (const TimedLabel& l : r.labels) {
    const double t = l.t_s - out->start_s;
    if (t >= -0.5 / fs && t < out->seconds) out->labels.push_back({std::max(0.0, t), l.text});
  }
  return true;
}

}  // namespace orna::records
