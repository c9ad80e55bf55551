#include "emulator/virtual_instrument.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "emulator/host_parser.h"
#include "emulator/playback.h"
#include "link/protocol.h"
#include "link/realtime.h"

namespace orna::emu {

Bytes DefaultHWInfoBlock() {
  Bytes block(64, 0x00);
  const std::uint8_t identity[10] = {'O', 'R', 0, 7, 15, 0x00, 0x2A, 23, 1, 4};
  std::copy(identity, identity + 10, block.begin() + 6);
  return block;
}

Config OldFirmware() {
  Config config;
  config.firmware_version.clear();
  return config;
}

namespace {

using Clock = std::chrono::steady_clock;

// Relay word bit 0: DC offset variable mode (or the pacing high range).
constexpr std::uint32_t kRelayVariable = 0x0001;
// The older firmware's full scale in variable mode, mV.
constexpr int kOldVariableRange = 4;

enum class Mode { Manual, RealTime, Flood };

struct QueuedPacket {
  std::vector<Sample> samples;  // decoded with the front end in force when it arrived
  std::size_t next = 0;
};

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The instrument's descriptors are its own: a child process must not keep
// the line open after the instrument has gone.
void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

void MakeRaw(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

int PtyIndex(int master) {
  unsigned int n = 0;
  if (ioctl(master, TIOCGPTN, &n) != 0) return -1;
  return static_cast<int>(n);
}

}  // namespace

struct VirtualInstrument::Impl {
  // Set once in the constructor.
  std::string slave_path;
  int wake_rd = -1;
  int wake_wr = -1;
  Clock::time_point t0 = Clock::now();
  std::thread service;

  mutable std::mutex m;
  mutable std::condition_variable cv;

  // Everything below is guarded by m.
  Config cfg;
  int master = -1;
  // Our own handle on the slave side: the line survives the host closing and
  // reopening its port, and stale input can be flushed for a new host.
  int slave = -1;
  // Holds the number of a disconnected line so that its path keeps failing
  // instead of leading to somebody else's pseudo-terminal.
  int placeholder = -1;
  int pty_index = -1;
  bool started = false;  // the service thread runs at its priority
  bool quit = false;
  bool disconnect_requested = false;
  bool reading = true;
  Clock::time_point last_rx = t0;

  HostParser parser;
  Bytes out;  // bytes for the host not yet taken by the line

  std::vector<HostMessage> messages;
  std::vector<Bytes> packets;
  std::vector<Sample> samples;
  std::function<void(const Sample&)> sample_listener;
  std::size_t message_count = 0;
  std::size_t packet_count = 0;
  Stats stats;

  std::uint32_t relay = 0;
  int range = -1;
  int dc_offset = -1;
  bool baseline_reset = false;
  bool streaming = false;

  SequenceCheck sequence;
  std::deque<QueuedPacket> queue;
  std::size_t queued = 0;       // samples in `queue` not yet played
  std::uint64_t outstanding = 0;  // requests sent and not yet answered by a packet
  std::deque<Clock::time_point> request_times;  // when each outstanding request was written
  std::vector<double> latencies;
  Mode mode = Mode::Manual;
  int flood_depth = 1;  // requests kept in flight in flood mode
  std::uint64_t flood_budget = UINT64_MAX;  // samples flood mode may still play
  double speed = 1.0;
  Clock::time_point clock_start;
  std::uint64_t clock_base = 0;
  std::uint64_t ticks = 0;  // playback time in 0.1 ms ticks

  explicit Impl(const Config& c) : cfg(c) {}

  double seconds_since_start(Clock::time_point when) const {
    return std::chrono::duration<double>(when - t0).count();
  }

  void wake() const {
    const char b = 1;
    ssize_t r = ::write(wake_wr, &b, 1);
    (void)r;  // a full pipe already wakes the thread
  }

  // ---- Output to the host (m held) ----------------------------------------
  void flush_out() {
    std::size_t done = 0;
    while (done < out.size() && master >= 0) {
      ssize_t n = ::write(master, out.data() + done, out.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        break;  // the host is not reading; the rest goes when the line drains
      } else {
        done = out.size();  // the line is gone: nothing can be delivered
      }
    }
    if (master < 0) done = out.size();
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(done));
  }

  void write_out(const Bytes& bytes) {
    if (master < 0) return;
    out.insert(out.end(), bytes.begin(), bytes.end());
    flush_out();
  }

  void send_request() {
    Bytes request(kNextPacketRequestLength, 0x00);
    request[0] = kNextPacketRequest;
    write_out(request);
    ++outstanding;
    request_times.push_back(Clock::now());
    ++stats.requests_sent;
  }

  // Keeps queue_packets packets queued or asked for while a stream runs.
  void request_missing() {
    if (!streaming || master < 0 || mode == Mode::Flood) return;  // flood asks once per packet
    while (static_cast<long long>(queue.size() + outstanding) < cfg.queue_packets) send_request();
  }

  // ---- Host messages (m held) --------------------------------------------
  void end_stream() {
    streaming = false;
    outstanding = 0;
    request_times.clear();
    sequence.restart();
  }

  // A probe starts a new conversation (and a close command ends one): what an
  // earlier host left unread must not be taken for the next reply.
  void new_conversation() {
    out.clear();
    if (master >= 0) tcflush(master, TCOFLUSH);  // still on its way to the slave side
    if (slave >= 0) tcflush(slave, TCIFLUSH);    // already waiting to be read
    end_stream();
  }

  void pump_input() {
    std::uint8_t buf[4096];
    while (master >= 0 && reading) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        last_rx = Clock::now();
        for (auto& msg : parser.feed(buf, static_cast<std::size_t>(n))) handle(msg.first, std::move(msg.second));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // EAGAIN, or no host on the line (EIO)
      }
    }
  }

  void handle(Kind kind, Bytes&& bytes) {
    ++message_count;
    const bool keep = kind != Kind::SamplePacket || cfg.record_packets;
    if (keep) messages.push_back(HostMessage{seconds_since_start(last_rx), kind, bytes});
    switch (kind) {
      case Kind::IdentifyProbe:
        new_conversation();
        if (cfg.identify == IdentifyMode::Normal) write_out(cfg.identify_reply);
        break;
      case Kind::LegacyProbe:
        new_conversation();
        if (cfg.identify == IdentifyMode::Legacy ||
            (cfg.identify == IdentifyMode::Normal && cfg.legacy_fallback))
          write_out(cfg.legacy_reply);
        break;
      case Kind::HWInfoRequest:
        if (cfg.answer_hwinfo) write_out(cfg.hwinfo_reply);
        // In the same write, so that the block is read whole and the report
        // waits behind it for the receive thread.
        if (cfg.answer_hwinfo && cfg.hwinfo_reply.size() == kHWInfoBlockLength && !cfg.firmware_version.empty()) {
          Bytes report(kVersionReportLength, 0x00);
          std::copy_n(cfg.firmware_version.begin(), std::min<std::size_t>(7, cfg.firmware_version.size()),
                      report.begin());
          write_out(report);
        }
        break;
      case Kind::ADRequest:
        if (!cfg.ad_reply.empty())
          write_out(cfg.ad_reply);
        else
          write_out({kADReplyMarker, static_cast<std::uint8_t>(cfg.ad_value >> 8),
                     static_cast<std::uint8_t>(cfg.ad_value & 0xFF)});
        break;
      case Kind::Relay:
        relay = (static_cast<std::uint32_t>(bytes[1]) << 16) | (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
        break;
      case Kind::Range:
        range = bytes[1];
        break;
      case Kind::DCOffset: {
        const int code = (bytes[1] << 8) | bytes[2];
        if (code == 0x8000)
          baseline_reset = true;
        else
          dc_offset = code;
        break;
      }
      case Kind::OffsetClear:
        baseline_reset = false;
        dc_offset = -1;
        break;
      case Kind::Stop:
        end_stream();
        break;
      case Kind::Close:
        // The host is about to close its port: what it has not read yet
        // would only confuse the next connection.
        new_conversation();
        break;
      case Kind::SamplePacket:
        on_packet(std::move(bytes));
        break;
      case Kind::Unknown:
        ++stats.unknown_bytes;
        break;
    }
  }

  void on_packet(Bytes&& bytes) {
    ++stats.packets_received;
    ++packet_count;
    streaming = true;
    if (outstanding > 0) --outstanding;
    if (!request_times.empty()) {
      latencies.push_back(std::chrono::duration<double>(last_rx - request_times.front()).count());
      request_times.pop_front();
    }

    PacketFaults faults = sequence.check(bytes);
    stats.header_errors += faults.header_errors;
    for (const SequenceGap& gap : faults.gaps) {
      ++stats.sequence_gaps;
      Bytes report(kSeqErrorReportLength, 0x00);
      report[0] = kSeqErrorReport;
      report[1] = gap.expected;
      report[2] = gap.received;
      write_out(report);
      ++stats.sequence_reports_sent;
    }

    QueuedPacket q;
    q.samples = DecodePacket(bytes);
    int full_scale = range < 0 ? kDefaultRange : range;
    // Variable mode as the instrument sees it: the relay, and an offset programmed.
    if (cfg.firmware_version.empty() && (relay & kRelayVariable) && dc_offset >= 0) full_scale = kOldVariableRange;
    for (Sample& s : q.samples) s.mV = Millivolts(s, full_scale, baseline_reset);
    queued += q.samples.size();
    if (!q.samples.empty()) queue.push_back(std::move(q));
    if (cfg.record_packets) packets.push_back(std::move(bytes));

    if (mode == Mode::Flood) {
      flood_play();
      if (flood_budget > queued) {
        send_request();
        while (static_cast<long long>(outstanding) < flood_depth) send_request();
      }
    }
  }

  // ---- Playback (m held) ---------------------------------------------------
  // Flood mode: plays what is queued, within the budget.
  void flood_play() {
    while (!queue.empty() && flood_budget > 0) {
      play_one();
      --flood_budget;
    }
  }

  // Plays the next queued sample, or lets one sample time pass without one.
  void play_one() {
    if (queue.empty()) {
      if (streaming) ++stats.underruns;
      ticks += 2;
      return;
    }
    QueuedPacket& q = queue.front();
    Sample s = q.samples[q.next++];
    s.t = static_cast<double>(ticks) * 0.0001;
    ticks += s.half_step ? 1 : 2;
    --queued;
    ++stats.samples_played;
    if (sample_listener) sample_listener(s);
    if (cfg.record_samples) samples.push_back(s);
    if (q.next == q.samples.size()) {
      queue.pop_front();
      ++stats.packets_played;
    }
  }

  void advance_clock() {
    const double elapsed = std::chrono::duration<double>(Clock::now() - clock_start).count();
    const std::uint64_t due = clock_base + static_cast<std::uint64_t>(elapsed * speed * 10000.0);
    while (ticks < due) {
      if (queue.empty() && !streaming) {
        ticks = due;  // idle: time passes, nothing is owed
        break;
      }
      play_one();
    }
  }

  // Brings the view up to now: what the host has already written is taken in
  // and a running clock plays what is due, so that an observation made after
  // a host call sees that call's bytes without waiting for the service thread.
  void catch_up() {
    pump_input();
    if (mode == Mode::RealTime) {
      advance_clock();
      request_missing();
    }
    flush_out();
    cv.notify_all();
  }

  // ---- Line (m held) -------------------------------------------------------
  void close_line() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
    disconnect_requested = false;
    out.clear();
    parser.reset();
    end_stream();
    // Keep the freed number busy (a locked pseudo-terminal cannot be opened),
    // so the old path fails instead of reaching another instrument.
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd >= 0 && PtyIndex(fd) == pty_index && pty_index >= 0) {
      SetCloseOnExec(fd);
      placeholder = fd;
    }
    else if (fd >= 0) {
      ::close(fd);
    }
  }

  void run() {
    std::unique_lock<std::mutex> lock(m);
    while (!quit) {
      pollfd fds[2];
      nfds_t nfds = 1;
      fds[0] = pollfd{wake_rd, POLLIN, 0};
      if (master >= 0) {
        short events = 0;
        if (reading) events |= POLLIN;
        if (!out.empty()) events |= POLLOUT;
        fds[1] = pollfd{master, events, 0};
        nfds = 2;
      }
      const int timeout_ms = mode == Mode::RealTime ? 1 : 20;
      lock.unlock();
      int r = ::poll(fds, nfds, timeout_ms);
      if (r > 0 && (fds[0].revents & POLLIN)) {
        char buf[64];
        while (::read(wake_rd, buf, sizeof buf) > 0) {
        }
      }
      const bool trouble = r > 0 && nfds == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL));
      if (trouble) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      lock.lock();
      if (quit) break;
      if (disconnect_requested) close_line();
      catch_up();
    }
  }
};

namespace {

int OpenMaster() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) throw std::runtime_error("virtual instrument: no pseudo-terminal available");
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    ::close(master);
    throw std::runtime_error("virtual instrument: cannot set up the pseudo-terminal");
  }
  return master;
}

}  // namespace

VirtualInstrument::VirtualInstrument(Config config) : VirtualInstrument(OpenMaster(), config) {}

VirtualInstrument::VirtualInstrument(int master, Config config)
    : impl_(std::make_unique<Impl>(config)) {
  Impl& d = *impl_;
  MakeRaw(master);
  SetNonBlocking(master);
  SetCloseOnExec(master);
  // Our own handle on the slave side, where there is one to open.
  char name[128];
  int slave = -1;
  if (ptsname_r(master, name, sizeof name) == 0) {
    slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) MakeRaw(slave);
    d.slave_path = name;
  }
  int pipefd[2];
  if (pipe2(pipefd, O_NONBLOCK | O_CLOEXEC) != 0) {
    if (slave >= 0) ::close(slave);
    ::close(master);
    throw std::runtime_error("virtual instrument: cannot create the wake pipe");
  }
  d.master = master;
  d.slave = slave;
  d.pty_index = PtyIndex(master);
  d.wake_rd = pipefd[0];
  d.wake_wr = pipefd[1];
  const bool realtime = config.realtime;
  d.service = std::thread([&d, realtime] {
    // The thread blocks in poll between messages and clock ticks (1 ms at
    // the most), so its priority cannot keep other threads off a processor.
    if (realtime) _AskForRealtime(kRealtimePriority + 1);
    {
      std::lock_guard<std::mutex> lock(d.m);
      d.started = true;
    }
    d.cv.notify_all();
    d.run();
  });
  // A new thread begins at its creator's priority: on a loaded machine it
  // can wait longer for its first turn than a host waits for an answer.
  // The instrument is there once its thread serves at its own.
  std::unique_lock<std::mutex> lock(d.m);
  d.cv.wait(lock, [&d] { return d.started; });
}

VirtualInstrument::~VirtualInstrument() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.m);
    d.quit = true;
  }
  d.wake();
  d.service.join();
  if (d.master >= 0) ::close(d.master);
  if (d.slave >= 0) ::close(d.slave);
  if (d.placeholder >= 0) ::close(d.placeholder);
  ::close(d.wake_rd);
  ::close(d.wake_wr);
}

std::string VirtualInstrument::path() const { return impl_->slave_path; }

void VirtualInstrument::set_config(const Config& config) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->cfg = config;
  impl_->wake();
}

// ---- Playback ----------------------------------------------------------------

void VirtualInstrument::start_playback(double speed) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.m);
  if (!(speed > 0)) {  // a clock that does not advance is a stopped clock
    d.mode = Mode::Manual;
    return;
  }
  d.pump_input();
  d.mode = Mode::RealTime;
  d.speed = speed;
  d.clock_start = Clock::now();
  d.clock_base = d.ticks;
  d.request_missing();
  d.flush_out();
  d.wake();
}

void VirtualInstrument::stop_playback() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.m);
  d.catch_up();  // the clock stops now: what was due until now has played
  d.mode = Mode::Manual;
}

void VirtualInstrument::step(std::size_t samples) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.m);
  d.catch_up();  // packets already on the line count as queued
  for (std::size_t i = 0; i < samples; ++i) d.play_one();
  d.request_missing();
  d.flush_out();
  d.cv.notify_all();
}

void VirtualInstrument::start_flood(int depth, std::uint64_t samples) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.m);
  d.pump_input();
  d.mode = Mode::Flood;
  d.flood_depth = std::max(1, depth);
  d.flood_budget = samples;
  d.flood_play();
  // `depth` requests in flight: every packet then brings the next one.
  if (d.streaming && d.flood_budget > d.queued)
    while (static_cast<long long>(d.outstanding) < d.flood_depth) d.send_request();
  d.flush_out();
  d.cv.notify_all();
  d.wake();
}

void VirtualInstrument::set_sample_listener(std::function<void(const Sample&)> listener) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->sample_listener = std::move(listener);
}

std::size_t VirtualInstrument::queued_samples() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->queued;
}

// ---- Injection ---------------------------------------------------------------

void VirtualInstrument::send(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->write_out(bytes);
  impl_->wake();
}

void VirtualInstrument::send_next_request() {
  std::lock_guard<std::mutex> lock(impl_->m);
  if (impl_->master < 0) return;
  impl_->send_request();
  impl_->wake();
}

void VirtualInstrument::send_sequence_error() {
  Bytes report(kSeqErrorReportLength, 0x00);
  report[0] = kSeqErrorReport;
  send(report);
}

void VirtualInstrument::send_status() {
  Bytes status(kStatusMessageLength, 0x00);
  status[0] = kStatusMessage;
  send(status);
}

void VirtualInstrument::send_version(const char seven[7]) {
  Bytes report(kVersionReportLength, 0x00);
  std::copy(seven, seven + 7, report.begin());
  send(report);
}

void VirtualInstrument::disconnect() {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.m);
  if (d.master < 0) return;
  d.disconnect_requested = true;
  d.wake();
  d.cv.wait(lock, [&d] { return d.master < 0; });
}

void VirtualInstrument::set_reading(bool reading) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->reading = reading;
  impl_->wake();
}

bool VirtualInstrument::host_has_unread() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->flush_out();
  if (!impl_->out.empty()) return true;
  int pending = 0;
  return impl_->slave >= 0 && ioctl(impl_->slave, FIONREAD, &pending) == 0 && pending > 0;
}

// ---- Observation -------------------------------------------------------------

std::vector<HostMessage> VirtualInstrument::messages() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->messages;
}

std::vector<HostMessage> VirtualInstrument::commands() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  std::vector<HostMessage> out;
  for (const HostMessage& msg : impl_->messages)
    if (msg.kind != Kind::SamplePacket) out.push_back(msg);
  return out;
}

std::vector<Bytes> VirtualInstrument::packets() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->packets;
}

std::vector<Sample> VirtualInstrument::samples() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->samples;
}

std::size_t VirtualInstrument::message_count() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->message_count;
}

std::size_t VirtualInstrument::packet_count() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->packet_count;
}

bool VirtualInstrument::wait_for_messages(std::size_t n, std::chrono::milliseconds timeout) const {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.m);
  d.catch_up();
  return d.cv.wait_for(lock, timeout, [&] { return d.message_count >= n; });
}

bool VirtualInstrument::wait_for_packets(std::size_t n, std::chrono::milliseconds timeout) const {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.m);
  d.catch_up();
  return d.cv.wait_for(lock, timeout, [&] { return d.packet_count >= n; });
}

bool VirtualInstrument::wait_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) const {
  Impl& d = *impl_;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(d.m);
  d.catch_up();
  for (;;) {
    const Clock::time_point now = Clock::now();
    const Clock::time_point quiet_at = d.last_rx + quiet;
    if (now >= quiet_at) return true;
    if (now >= deadline) return false;
    d.cv.wait_until(lock, std::min(quiet_at, deadline));
  }
}

Stats VirtualInstrument::stats() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->stats;
}

std::vector<double> VirtualInstrument::request_latencies() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->latencies;
}

std::vector<Sample> VirtualInstrument::take_samples() {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  std::vector<Sample> taken;
  taken.swap(impl_->samples);
  impl_->messages.clear();
  impl_->packets.clear();
  impl_->latencies.clear();
  return taken;
}

void VirtualInstrument::clear() {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  impl_->messages.clear();
  impl_->packets.clear();
  impl_->samples.clear();
  impl_->latencies.clear();
  impl_->message_count = 0;
  impl_->packet_count = 0;
}

std::uint32_t VirtualInstrument::relay_word() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->relay;
}

int VirtualInstrument::range_byte() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->range;
}

int VirtualInstrument::dc_offset_code() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->dc_offset;
}

bool VirtualInstrument::baseline_reset() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->baseline_reset;
}

bool VirtualInstrument::streaming() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->catch_up();
  return impl_->streaming;
}

}  // namespace orna::emu
