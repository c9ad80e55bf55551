#include "emulator/virtual_monitor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

namespace orna::emu {

namespace {

constexpr double kDt = 1.0 / 5000;
constexpr double kRefractory = 0.2;    // s after a beat in which no other is taken (300 a minute at most)
constexpr double kBaselineTau = 1.0;   // s, of the baseline taken off the signal
constexpr double kPeakTau = 8.0;       // s, of the decay of the R-wave level
constexpr double kFloor_mV = 0.1;      // a flat line has no beats
constexpr std::size_t kMaxQueued = 100000;

std::string Stamp(double seconds) {
  const double whole = std::floor(seconds);
  long ms = std::lround((seconds - whole) * 1000);
  std::time_t t = static_cast<std::time_t>(whole);
  if (ms == 1000) ms = 0, ++t;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%03ld+0000", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

struct AlarmState {
  const char* event;
  const char* text;
  double since = -1;  // signal time the condition began; -1 while it does not hold
  bool raised = false;
};

}  // namespace

struct VirtualMonitor::Impl {
  MonitorConfig cfg;
  mutable std::mutex m;
  std::condition_variable cv;
  std::thread sender;
  bool quit = false;

  // Detection (m held).
  std::uint64_t n = 0;  // samples seen
  double baseline = 0, level = 0, peak = 0, peak_t = 0, last_beat = -1;
  bool in_peak = false, primed = false;
  std::deque<double> intervals;
  int hr = -1;  // reported rate; -1 before two beats
  double next_report = 1;
  AlarmState tachy{"MDC_EVT_ECG_TACHY", "Tachycardia"}, brady{"MDC_EVT_ECG_BRADY", "Bradycardia"},
      asystole{"MDC_EVT_ECG_ASYSTOLE", "Asystole"};
  std::vector<MonitorAlarm> alarms;

  // Messages (m held).
  std::deque<std::string> queue;
  std::uint64_t made = 0, acknowledged = 0;
  std::condition_variable flushed;

  void log(const std::string& line) {
    if (cfg.log) cfg.log(line);
  }

  std::string Header(const char* type, double t, const char* ack) {
    return "MSH|^~\\&|ORNA_VIRTUAL_MONITOR|BENCH|ORNA|BENCH|" + Stamp(cfg.base_epoch + t) + "||" + type + "|VM" +
           std::to_string(++made) + "|P|2.6|||" + ack + "\rPID|1||SIMULATOR^^^ORNA^PI\r";
  }

  void Queue(std::string message) {
    if (queue.size() == kMaxQueued) queue.pop_front();
    queue.push_back(std::move(message));
    cv.notify_all();
  }

  void Report(double t) {
    const std::string ts = Stamp(cfg.base_epoch + t);
    std::string msg = Header("ORU^R01^ORU_R01", t, "NE|AL");
    msg += "OBR|1|VM" + std::to_string(made) + "^ORNA||182777000^monitoring of patient^SNOMED-CT|||" + ts + "\r";
    msg += "OBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC|1.1.1.1|" + std::to_string(hr) +
           "|264864^MDC_DIM_BEAT_PER_MIN^MDC|||||R|||" + ts + "\r";
    Queue(std::move(msg));
  }

  void Alarm(double t, AlarmState& a, bool start) {
    a.raised = start;
    alarms.push_back({t, a.event, !start});
    char said[96];
    std::snprintf(said, sizeof said, "virtual monitor: %s %s at %.3f s of signal", a.event, start ? "raised" : "ended", t);
    log(said);
    const std::string ts = Stamp(cfg.base_epoch + t), rate = std::to_string(std::max(hr, 0));
    std::string msg = Header("ORU^R40^ORU_R40", t, "AL|NE");
    msg += "OBR|1|VM" + std::to_string(made) + "^ORNA||196616^MDC_EVT_ALARM^MDC|||" + ts + "\r";
    msg += std::string("OBX|1|ST|^") + a.event + "^MDC|1.1.1.1|" + a.text + " " + rate + "/min|||H|||F|||" + ts + "\r";
    msg += "OBX|2|NM|147842^MDC_ECG_HEART_RATE^MDC|1.1.1.1|" + rate + "|264864^MDC_DIM_BEAT_PER_MIN^MDC|||||F|||" + ts +
           "\r";
    msg += std::string("OBX|3|ST|68481^MDC_ATTR_EVENT_PHASE^MDC|1.1.1.1.1|") + (start ? "start" : "end") + "|||||F\r";
    msg += std::string("OBX|4|ST|68482^MDC_ATTR_ALARM_STATE^MDC|1.1.1.1.2|") + (start ? "active" : "inactive") +
           "|||||F\r";
    Queue(std::move(msg));
  }

  // A condition that must last `delay` before it is raised; ended as soon as it stops.
  void Judge(double t, AlarmState& a, bool holds, double delay) {
    if (!holds) {
      a.since = -1;
      if (a.raised) Alarm(t, a, false);
      return;
    }
    if (a.since < 0) a.since = t;
    if (!a.raised && t - a.since >= delay - kDt / 2) Alarm(t, a, true);
  }

  void Sample(double mV) {
    const double t = static_cast<double>(++n) * kDt;
    if (!primed) baseline = mV, primed = true;
    baseline += (mV - baseline) * kDt / kBaselineTau;
    const double x = mV - baseline;
    level = std::max(level * (1 - kDt / kPeakTau), x);
    const double threshold = std::max(0.6 * level, kFloor_mV);
    if (in_peak) {
      if (x > peak) peak = x, peak_t = t;
      if (x < threshold) {
        in_peak = false;
        if (last_beat >= 0) {
          intervals.push_back(peak_t - last_beat);
          if (static_cast<int>(intervals.size()) > cfg.average_beats) intervals.pop_front();
          double sum = 0;
          for (double i : intervals) sum += i;
          hr = std::max(0, static_cast<int>(std::lround(60 * intervals.size() / sum + cfg.misreport_bpm)));
        }
        last_beat = peak_t;
      }
    } else if (x > threshold && (last_beat < 0 || t - last_beat > kRefractory)) {
      in_peak = true;
      peak = x;
      peak_t = t;
    }
    const bool asystolic = t - std::max(last_beat, 0.0) >= cfg.asystole_s;
    if (asystolic) hr = 0, intervals.clear();
    Judge(t, asystole, asystolic, 0);
    Judge(t, tachy, !asystolic && hr > cfg.tachycardia_bpm, cfg.alarm_delay_s);
    Judge(t, brady, !asystolic && hr >= 0 && hr < cfg.bradycardia_bpm, cfg.alarm_delay_s);
    if (t >= next_report - kDt / 2) {
      next_report += 1;
      if (hr >= 0) Report(t);
    }
  }

  // Sends the queue in order, one message at a time, each waiting for its ACK.
  void Send() {
    int fd = -1;
    std::string ack;
    for (;;) {
      std::string msg;
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return quit || !queue.empty(); });
        if (queue.empty()) break;
        msg = queue.front();
        if (quit && fd < 0) break;
      }
      if (fd < 0) fd = Connect();
      if (fd < 0) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return quit; });
        continue;
      }
      const std::string frame = "\x0b" + msg + "\x1c\r";
      bool ok = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
      if (ok) ok = ReadAck(fd, &ack);
      if (!ok) {
        log("virtual monitor: no ACK from " + cfg.host + ":" + std::to_string(cfg.port) + "; connecting again");
        close(fd);
        fd = -1;
        continue;
      }
      if (ack.find("MSA|AA|") == std::string::npos) log("virtual monitor: a message was refused: " + ack);
      std::lock_guard<std::mutex> lock(m);
      if (!queue.empty()) queue.pop_front();
      ++acknowledged;
      flushed.notify_all();
    }
    if (fd >= 0) close(fd);
  }

  int Connect() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(cfg.port));
    if (fd < 0 || inet_pton(AF_INET, cfg.host.c_str(), &a.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (fd >= 0) close(fd);
      return -1;
    }
    return fd;
  }

  static bool ReadAck(int fd, std::string* ack) {
    ack->clear();
    char buf[512];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return false;
      const ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) return false;
      ack->append(buf, static_cast<std::size_t>(r));
      if (ack->size() >= 2 && ack->compare(ack->size() - 2, 2, "\x1c\r") == 0) return true;
      if (ack->size() > 65536) return false;
    }
  }
};

VirtualMonitor::VirtualMonitor(MonitorConfig config) : impl_(new Impl) {
  impl_->cfg = std::move(config);
  if (impl_->cfg.base_epoch <= 0)
    impl_->cfg.base_epoch =
        std::floor(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  impl_->sender = std::thread([this] { impl_->Send(); });
}

VirtualMonitor::~VirtualMonitor() {
  Flush(std::chrono::seconds(1));
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->quit = true;
    impl_->queue.clear();
  }
  impl_->cv.notify_all();
  impl_->sender.join();
}

void VirtualMonitor::OnSample(double mV) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->Sample(mV);
}

double VirtualMonitor::signal_seconds() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return static_cast<double>(impl_->n) * kDt;
}

double VirtualMonitor::base_epoch() const { return impl_->cfg.base_epoch; }

bool VirtualMonitor::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->m);
  return impl_->flushed.wait_for(lock, timeout, [&] { return impl_->queue.empty(); });
}

std::vector<MonitorAlarm> VirtualMonitor::alarms() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->alarms;
}

std::uint64_t VirtualMonitor::messages_acknowledged() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->acknowledged;
}

}  // namespace orna::emu
