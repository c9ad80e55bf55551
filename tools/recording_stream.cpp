#include "recording_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "wfdb_recording.h"

namespace orna::cli {

namespace {

// The values at t0, t0 + period, ... (sample and hold, as Resample) kept in
// an unlinked file beside the recording, so that memory stays flat however
// long the recording.
class Spool {
 public:
  explicit Spool(const std::string& beside, double period_s) : period_(period_s) {
    const std::size_t slash = beside.find_last_of('/');
    std::string name = (slash == std::string::npos ? std::string(".") : beside.substr(0, slash)) + "/.orna-spool-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) {
      unlink(name.c_str());
      file_ = fdopen(fd, "w+b");
      if (!file_) close(fd);
    }
    if (!file_) file_ = std::tmpfile();
    buffer_.reserve(kChunk);
  }
  ~Spool() {
    if (file_) std::fclose(file_);
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  bool ok() const { return file_ != nullptr; }

  void Add(double t, double mV) {
    if (!started_) {
      started_ = true;
      t0_ = t;
    } else {
      while (t0_ + k_ * period_ + 1e-9 < t) Put(held_);
    }
    held_ = mV;
    last_t_ = t;
  }
  // Ends the grid at the last point; then the values can be read.
  bool Finish() {
    if (started_) {
      const auto n = static_cast<std::uint64_t>(std::floor((last_t_ - t0_) / period_ + 1e-6)) + 1;
      while (k_ < n) Put(held_);
    }
    Flush();
    return file_ && !failed_ && std::fflush(file_) == 0 && std::fseek(file_, 0, SEEK_SET) == 0;
  }
  std::size_t Read(double* out, std::size_t n) { return std::fread(out, sizeof(double), n, file_); }
  std::uint64_t count() const { return k_; }
  double peak() const { return peak_; }
  double t0() const { return t0_; }

 private:
  static constexpr std::size_t kChunk = 1 << 15;
  void Put(double v) {
    ++k_;
    peak_ = std::max(peak_, std::fabs(v));
    buffer_.push_back(v);
    if (buffer_.size() == kChunk) Flush();
  }
  void Flush() {
    if (file_ && !buffer_.empty() && std::fwrite(buffer_.data(), sizeof(double), buffer_.size(), file_) != buffer_.size())
      failed_ = true;
    buffer_.clear();
  }
  FILE* file_ = nullptr;
  bool failed_ = false;
  double period_;
  bool started_ = false;
  double t0_ = 0, last_t_ = 0, held_ = 0, peak_ = 0;
  std::uint64_t k_ = 0;
  std::vector<double> buffer_;
};

class CsvWriter : public RecordingWriter {
 public:
  CsvWriter(FILE* f, bool to_stdout, bool annotated) : f_(f), stdout_(to_stdout), annotated_(annotated) {
    std::fprintf(f_, "time_s,value_mV,high_range,pacing_pulse%s\n", annotated ? ",annotation" : "");
  }
  ~CsvWriter() override {
    if (f_ && !stdout_) std::fclose(f_);
  }
  void Add(const Point& p, const std::vector<std::string>& labels) override {
    std::fprintf(f_, "%.4f,%.6f,%d,%d", p.t, p.mV, p.high_range ? 1 : 0, p.pulse_s > 0 ? 1 : 0);
    if (annotated_) {
      std::fputc(',', f_);
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) std::fputc(' ', f_);
        std::fputs(labels[i].c_str(), f_);
      }
    }
    std::fputc('\n', f_);
  }
  bool Close() override {
    FILE* f = f_;
    f_ = nullptr;
    if (stdout_) return std::fflush(f) == 0 && !std::ferror(f);
    return std::fclose(f) == 0;
  }

 private:
  FILE* f_;
  bool stdout_, annotated_;
};

// EDF+ and WFDB: the signal spooled, the annotations kept.
class SpooledWriter : public RecordingWriter {
 public:
  SpooledWriter(const std::string& path, double period_s, const std::string& title, const std::string& equipment,
                const std::string& version)
      : path_(path), period_(period_s), title_(title), equipment_(equipment), version_(version), spool_(path, period_s) {}
  bool ok() const { return spool_.ok(); }
  void Add(const Point& p, const std::vector<std::string>& labels) override {
    if (!started_) started_ = true, t0_ = p.t;
    spool_.Add(p.t, p.mV);
    if (p.pulse_s > 0) pulses_.push_back({p.t - t0_, p.pulse_s, ""});
    for (const auto& l : labels) labels_.push_back({p.t - t0_, 0, l});
  }
  bool Close() override {
    if (!spool_.Finish()) return false;
    auto read = [this](double* out, std::size_t n) { return spool_.Read(out, n); };
    if (IsWfdbPath(path_)) {
      // Each note on the sample nearest its time.
      std::vector<WfdbNote> notes;
      auto sample = [this](double t) { return static_cast<std::uint64_t>(std::llround(std::max(0.0, t) / period_)); };
      for (const auto& p : pulses_) notes.push_back({sample(p.t), true, ""});
      for (const auto& l : labels_) notes.push_back({sample(l.t), false, l.text});
      return WriteWfdb(path_, period_, spool_.count(), spool_.peak(), read, std::move(notes),
                       {title_, version_.empty() ? equipment_ : equipment_ + " " + version_});
    }
    return WriteEdfFrom(path_, period_, spool_.count(), spool_.peak(), read, pulses_, labels_, title_, equipment_,
                        version_);
  }

 private:
  std::string path_;
  double period_;
  std::string title_, equipment_, version_;
  Spool spool_;
  bool started_ = false;
  double t0_ = 0;
  std::vector<TimedNote> pulses_, labels_;
};

}  // namespace

std::unique_ptr<RecordingWriter> OpenRecording(const std::string& path, double period_s, const std::string& title,
                                               const std::string& equipment, const std::string& version,
                                               bool annotated) {
  if (IsEdfPath(path) || IsWfdbPath(path)) {
    auto w = std::make_unique<SpooledWriter>(path, period_s, title, equipment, version);
    if (!w->ok()) return nullptr;
    return w;
  }
  const bool to_stdout = path == "-";
  FILE* f = to_stdout ? stdout : std::fopen(path.c_str(), "w");
  if (!f) return nullptr;
  return std::make_unique<CsvWriter>(f, to_stdout, annotated);
}

}  // namespace orna::cli
