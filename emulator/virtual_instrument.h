// The virtual instrument: plays the instrument's part over a real
// pseudo-terminal so that the library's own serial code runs unchanged.
//
// It answers the identification exchanges, parses every host message by its
// first byte and fixed length, keeps the front-end state, plays sample packets
// on a 5 000 samples/s clock, asks for the next packet with 'N' when its queue
// runs low, records what it received, and injects instrument messages and
// faults on request. One service thread per instrument; all methods are
// thread-safe.
//
// Without a running clock (after construction, or after stop_playback) the
// instrument plays nothing and asks for nothing: every packet after the first
// comes from a test's send_next_request() or from step(). Samples are decoded
// with the range and baseline reset in force when their packet arrived. An
// identify probe and the close command discard whatever the host has not read
// yet, so one instrument serves several open/close cycles of the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orna::emu {

using Bytes = std::vector<std::uint8_t>;

enum class IdentifyMode {
  Normal,  // answers the identify probe 'U' with `identify_reply`
  Legacy,  // ignores 'U'; answers the legacy probe 0xAA with `legacy_reply`
  Silent,  // answers neither probe
};

// A valid 64-byte hardware information block: bytes 6..15 = 'O','R',0,7,15,0x00,0x2A,23,1,4
// (hardware information WO1507042, hardware version 2.3, firmware version 1.4).
Bytes DefaultHWInfoBlock();

struct Config {
  IdentifyMode identify = IdentifyMode::Normal;
  Bytes identify_reply = {'S', 'N', '0', '0', '4', '2', 0};
  Bytes legacy_reply = {'O', 'R', 'N', 'A'};
  Bytes hwinfo_reply = DefaultHWInfoBlock();  // any length; 64 is a valid block
  bool answer_hwinfo = true;                  // false: no reply at all
  std::uint16_t ad_value = 0;                 // AD reply: 0xAD, high byte, low byte
  Bytes ad_reply;                             // non-empty: sent instead of the above
  // Packets the instrument can hold before playing; it asks for the next one
  // with 'N' whenever queued + requested packets fall below this.
  int queue_packets = 2;
  // Normal mode: also answer the legacy probe 0xAA with `legacy_reply` (an
  // instrument that still knows the old handshake).
  bool legacy_fallback = false;
  // Keep the bytes of every sample packet (messages(), packets()) and every
  // played sample (samples()). Long runs (benchmarks, the CLI) switch them
  // off; counts and stats are kept either way.
  bool record_packets = true;
  bool record_samples = true;
  // The service thread asks for a real-time priority (SCHED_FIFO, one level
  // above the library's receive thread, within RLIMIT_RTPRIO) and keeps the
  // normal one where the process may not have it: like a real instrument it
  // answers in time however busy the host is. False leaves the thread at the
  // scheduling of the thread that created the instrument.
  bool realtime = true;
  // The firmware version reported right after the hardware information reply
  // (when that is a whole 64-byte block): the seven characters of the version
  // report, which a zero byte ends. From "4000002" on the library uses the
  // 5 mV range in every mode. Empty: an older firmware, which reports no
  // version and plays DC offset variable mode on a 4 mV full scale, as the
  // library then expects.
  std::string firmware_version = kCurrentFirmware;
  static constexpr const char* kCurrentFirmware = "4000002";
};

// The configuration of an instrument with the older firmware (no version report).
Config OldFirmware();

// Kinds of host messages, by first byte.
enum class Kind {
  IdentifyProbe,     // 0x55, 1 byte
  LegacyProbe,       // 0xAA, 1 byte
  HWInfoRequest,     // 0x12, 5 bytes
  ADRequest,         // 0xAD, 4 bytes
  Relay,             // 0x07, 6 bytes
  Range,             // 0x00, 2 bytes
  DCOffset,          // 0x05, 3 bytes (0x05 0x80 0x00 is the baseline reset command)
  OffsetClear,       // 0x06, 1 byte
  Stop,              // 'S', 1 byte
  Close,             // 'C', 1 byte
  SamplePacket,      // 0x01, 3200 bytes
  Unknown,           // any other first byte, 1 byte
};

struct HostMessage {
  double t = 0;   // seconds since the instrument was created (steady clock)
  Kind kind = Kind::Unknown;
  Bytes bytes;    // the whole message
};

// One played sample.
struct Sample {
  double t = 0;          // playback time, s (0.0002 per sample, 0.0001 for half steps)
  std::uint16_t code = 0;  // 12-bit converter code
  bool range_flag = false;  // bit 0x40 of the word's first byte
  bool half_step = false;   // bit 0x80
  double mV = 0;         // decoded: high range 2 codes/mV; normal range by the last range command
                         // (4 mV in variable mode on the older firmware)
};

struct Stats {
  std::uint64_t packets_received = 0;   // complete sample packets received (faults counted below)
  std::uint64_t packets_played = 0;     // packets whose samples have all been played
  std::uint64_t samples_played = 0;
  std::uint64_t requests_sent = 0;      // 'N' messages sent (automatic and injected)
  std::uint64_t underruns = 0;          // clock ticks that found the queue empty while streaming
  // Frames whose sequence number was not the expected one; each is reported at
  // once with 'S', the expected number, the received one and 12 zero bytes.
  std::uint64_t sequence_gaps = 0;
  std::uint64_t header_errors = 0;      // frames with a bad byte 0, 2 or 3, or a missing 'E'
  std::uint64_t unknown_bytes = 0;      // host bytes that begin no known message
  std::uint64_t sequence_reports_sent = 0;  // 'S' reports sent for gaps (not injected ones)
};

class VirtualInstrument {
 public:
  explicit VirtualInstrument(Config config = Config());
  // Serves a pseudo-terminal master that somebody else created (for example a
  // device node faked by a test bed); takes ownership of `master_fd`.
  VirtualInstrument(int master_fd, Config config);
  ~VirtualInstrument();
  VirtualInstrument(const VirtualInstrument&) = delete;
  VirtualInstrument& operator=(const VirtualInstrument&) = delete;

  // Path of the pseudo-terminal's slave side, e.g. "/dev/pts/7".
  std::string path() const;
  // Changes the configuration (identity replies, AD value, queue size).
  void set_config(const Config& config);

  // ---- Playback --------------------------------------------------------
  // Plays queued samples on a clock running `speed` times real time (1.0 =
  // 5 000 samples/s). While playing, the instrument asks for packets on its own.
  // A speed of 0 or less stops the clock.
  void start_playback(double speed = 1.0);
  // Stops the clock (queued samples stay queued).
  void stop_playback();
  // Stepped clock: plays `samples` samples now (asking for packets as the
  // queue runs low), without waiting in real time. Samples missing from the
  // queue count as underruns.
  void step(std::size_t samples);
  // Asks for packets as fast as they arrive: every received packet is played
  // at once and answered with one 'N' (for throughput tests). Packets already
  // queued are played at once, and a stream with no request in flight gets one.
  // `depth` > 1 keeps that many requests in flight instead of one, so that the
  // host's answers overlap (renderings: no clock, only throughput counts).
  // `samples`: plays no more than that many, then waits with its queue kept
  // and asks for nothing more (a run of an exact length).
  void start_flood(int depth = 1, std::uint64_t samples = UINT64_MAX);
  // Samples queued but not yet played.
  std::size_t queued_samples() const;
  // Called with every sample as it is played, on whichever thread plays it and
  // with the instrument's lock held: it must be quick and must not call the
  // instrument. An empty function removes it.
  void set_sample_listener(std::function<void(const Sample&)> listener);

  // ---- Injection -------------------------------------------------------
  void send(const Bytes& bytes);             // arbitrary bytes
  void send_next_request();                  // 'N', 0x00
  void send_sequence_error();                // 'S' and 14 zero bytes
  void send_status();                        // '2' and 6 zero bytes
  void send_version(const char seven[7]);    // the 7 characters and a zero byte
  // Closes the master side: the library sees a hang-up (reads end of file,
  // writes EIO). The path cannot be opened again while this object lives.
  void disconnect();
  // Stops reading what the host writes (the port's output fills up), or reads again.
  void set_reading(bool reading);
  // Whether bytes sent to the host still wait on the line, unread.
  bool host_has_unread() const;

  // ---- Observation -----------------------------------------------------
  std::vector<HostMessage> messages() const;   // every host message, in order
  std::vector<HostMessage> commands() const;   // the same without sample packets
  std::vector<Bytes> packets() const;          // the sample packets, in order
  std::vector<Sample> samples() const;         // played samples, in order
  // The played samples, handed over and forgotten in one step (with the
  // packet and message records, as clear() does), so a reader that polls
  // misses none and the records stay small.
  std::vector<Sample> take_samples();
  std::size_t message_count() const;
  std::size_t packet_count() const;
  // Waits until at least n messages (or packets) have been received.
  bool wait_for_messages(std::size_t n, std::chrono::milliseconds timeout) const;
  bool wait_for_packets(std::size_t n, std::chrono::milliseconds timeout) const;
  // Waits until no host byte has arrived for `quiet` (or `timeout` passed).
  bool wait_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) const;
  Stats stats() const;
  // For every answered next-packet request, in order: seconds from writing
  // the request to receiving the whole packet that answered it.
  std::vector<double> request_latencies() const;
  // Forgets recorded messages, packets and samples (front-end state and stats stay).
  void clear();

  // Front-end state as last commanded.
  std::uint32_t relay_word() const;
  int range_byte() const;          // -1 before any range command
  int dc_offset_code() const;      // -1 before any DC offset command and after an offset clear
  bool baseline_reset() const;     // baseline reset command received and not cleared
  bool streaming() const;          // a packet arrived since the last stop/close command

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Decodes a 3 200-byte sample packet's words into codes and flags (no time, no mV).
std::vector<Sample> DecodePacket(const Bytes& packet);

}  // namespace orna::emu
