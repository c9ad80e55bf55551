// The serial transport on a bare pseudo-terminal.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>

#include "support/instrument.h"
#include "support/link.h"
#include "support/process.h"
#include "support/terminal.h"
#include "support/wait.h"

using namespace orna;
using namespace orna::test;

TEST(SerialPort, LineFromDefaultSettingsPassesEveryByteUnchanged) {
  Pty pty;
  termios before{}, t{};
  const int probe = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(tcgetattr(probe, &before), 0);
  close(probe);
  ASSERT_TRUE(_OpenPort(pty.path.c_str()));
  ASSERT_EQ(tcgetattr(g_hFile, &t), 0);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_iflag, (before.c_iflag & ~tcflag_t(ICRNL | IXON)) | IGNPAR);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_cflag & ~tcflag_t(CBAUD), before.c_cflag & ~tcflag_t(CLOCAL | CBAUD));
  EXPECT_EQ(t.c_cc[VEOF], 4);
  EXPECT_EQ(t.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(t.c_cc[VTIME], before.c_cc[VTIME]);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));

  // CR, XON, XOFF and a letter without a line end arrive as sent, unechoed.
  pty.send({0x0D, 0x11, 0x13, 'a'});
  unsigned char buf[16];
  ASSERT_EQ(_ReadCOMPort(16, buf), 4);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x0D, 0x11, 0x13, 'a'}));
  const unsigned char nl = 0x0A;
  ASSERT_EQ(_WriteCOMPort(1, &nl), 1);
  EXPECT_EQ(pty.read_for(milliseconds(100)), Bytes{0x0A});
  _ClosePort();
  EXPECT_EQ(g_hFile, -1);
}

namespace {

// Leaves byte-altering input and output flags on a line, as an earlier
// program might.
void DirtyLine(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  t.c_iflag |= IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF;
  t.c_iflag &= ~tcflag_t(IGNPAR);
  t.c_oflag |= OPOST | ONLCR | OCRNL | OLCUC | ONOCR | ONLRET;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  close(fd);
}

}  // namespace

TEST(SerialPort, FlagsAnEarlierProgramLeftDoNotTouchAByte) {
  Pty pty;
  DirtyLine(pty.path);
  termios before{}, t{};
  const int probe = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(tcgetattr(probe, &before), 0);
  close(probe);
  ASSERT_TRUE(_OpenPort(pty.path.c_str()));
  ASSERT_EQ(tcgetattr(g_hFile, &t), 0);
  EXPECT_EQ(t.c_iflag & ~tcflag_t(IGNPAR), 0u);
  EXPECT_NE(t.c_iflag & IGNPAR, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_cflag & ~tcflag_t(CBAUD), before.c_cflag & ~tcflag_t(CLOCAL | CBAUD));

  const Bytes in = {0xAD, 0x12, 0x34, 0x0D, 0x0A, 0xFF, 0x00, 0x11, 0x13, 'A'};
  pty.send(in);
  Bytes got;
  for (const auto end = Clock::now() + milliseconds(500); got.size() < in.size() && Clock::now() < end;) {
    unsigned char buf[32];
    const int n = _ReadCOMPort(32, buf);
    if (n > 0) got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, in);
  const Bytes out = {0x0A, 0x0D, 'a', 0x09, 0xFF, 0x00};
  ASSERT_EQ(_WriteCOMPort(6, out.data()), 6);
  EXPECT_EQ(pty.read_for(milliseconds(100)), out);
  _ClosePort();

  // The same through GetAD against the instrument.
  emu::Config cfg;
  cfg.ad_value = 0x8D0D;
  emu::VirtualInstrument vi(cfg);
  DirtyLine(vi.path());
  ScanPaths scan({vi.path()});
  ASSERT_EQ(InitORNA(), 1);
  EXPECT_EQ(GetAD(), 0x8D0D);
  CloseLink();
}

TEST(SerialPort, AFileThatIsNoTerminalIsRejectedUntouched) {
  const std::string file = "/tmp/orna-port-file-" + std::to_string(getpid());
  const Bytes content(100, 'x');
  {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(fd, content.data(), content.size()), 100);
    close(fd);
  }
  const int fds = OpenFds();
  {
    ScanPaths scan({file});
    EXPECT_EQ(InitORNA(), 0);
  }
  EXPECT_EQ(g_hFile, -1);
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(SetOutputFunc(OutputFuncSine), -1);
  Bytes after(200);
  const int fd = open(file.c_str(), O_RDONLY);
  after.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(fd, after.data(), after.size()))));
  close(fd);
  unlink(file.c_str());
  EXPECT_EQ(after, content);
  CloseORNA();
}

TEST(SerialPort, ReadWaitsAtMost100MsAndTakesOneReadsWorth) {
  unsigned char buf[36];
  auto t0 = Clock::now();
  EXPECT_EQ(_ReadCOMPort(36, buf), 0);  // no port
  EXPECT_LT(MsSince(t0), 50);  // at once, not after the 100 ms wait
  EXPECT_EQ(_WriteCOMPort(1, buf), -1);

  Pty pty;
  ASSERT_TRUE(_OpenPort(pty.path.c_str()));
  t0 = Clock::now();
  EXPECT_EQ(_ReadCOMPort(36, buf), -1);
  EXPECT_GE(MsSince(t0), 95);
  EXPECT_LT(MsSince(t0), 600);  // one 100 ms wait; the rest is a loaded machine's delay

  std::memset(buf, 0xEE, sizeof buf);
  pty.send({1, 2, 3, 4, 5});
  ASSERT_EQ(_ReadCOMPort(36, buf), 5);
  Bytes expected(36, 0xEE);
  for (int i = 0; i < 5; ++i) expected[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(Bytes(buf, buf + 36), expected);

  Bytes forty(40);
  for (int i = 0; i < 40; ++i) forty[i] = static_cast<std::uint8_t>(100 + i);
  pty.send(forty);
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(_ReadCOMPort(36, buf), 36);
  EXPECT_EQ(Bytes(buf, buf + 36), Bytes(forty.begin(), forty.begin() + 36));
  ASSERT_EQ(_ReadCOMPort(36, buf), 4);
  EXPECT_EQ(Bytes(buf, buf + 4), Bytes(forty.begin() + 36, forty.end()));
  _ClosePort();
}

namespace {

// Milliseconds a read on the open port takes when `end` is called as soon as
// the reader waits in it; the read's result goes to `result`. Negative when
// the read timed out before it was seen waiting (a busy machine kept this
// thread away for the read's whole 100 ms): `end` was not called then.
template <typename End>
double ReadEndedBy(End end, int& result) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::atomic<double> ms{0};
  std::thread reader([&] {
    tid = gettid();
    unsigned char buf[8];
    const auto t0 = Clock::now();
    result = _ReadCOMPort(8, buf);
    ms = MsSince(t0);
    done = true;
  });
  const bool waiting =
      WaitUntil([&] { return done || (tid != 0 && WaitingForDescriptor(tid)); }, milliseconds(5000)) && !done;
  if (waiting) end();
  reader.join();
  return waiting ? ms.load() : -1;
}

}  // namespace

TEST(SerialPort, WakeAndCloseEndAWaitingReadAtOnceButNotALaterOne) {
  Pty pty;
  // A read that is not ended waits its whole 100 ms: every try takes that
  // long. One that is ended returns once it runs again, which a loaded
  // machine can delay now and then; the best of the tries shows which.
  for (bool close_port : {false, true}) {
    SCOPED_TRACE(close_port ? "close" : "wake");
    double fastest = 1e9;
    for (int attempt = 0; attempt < 20 && fastest >= 60; ++attempt) {
      ASSERT_TRUE(_OpenPort(pty.path.c_str()));
      int result = 99;
      const double ms = ReadEndedBy([&] { close_port ? _ClosePort() : _WakeReaders(); }, result);
      _ClosePort();  // where the read was not ended by closing
      if (ms < 0) continue;
      EXPECT_EQ(result, -1);
      fastest = std::min(fastest, ms);
    }
    EXPECT_LT(fastest, 60);
  }
  EXPECT_EQ(g_hFile, -1);

  // The wake is spent: the next read waits for data as usual, here for a
  // byte sent once it waits. A read that ends without the byte must have
  // waited its whole 100 ms (the sender was kept away); then it reads again.
  ASSERT_TRUE(_OpenPort(pty.path.c_str()));
  _WakeReaders();
  const pid_t self = gettid();
  std::thread late([&] {
    WaitUntil([&] { return WaitingForDescriptor(self); }, milliseconds(5000));
    pty.send({7});
  });
  unsigned char b = 0;
  int n = -1;
  for (int attempt = 0; attempt < 20 && n != 1; ++attempt) {
    const auto t0 = Clock::now();
    n = _ReadCOMPort(1, &b);
    if (n != 1) {
      EXPECT_GE(MsSince(t0), 95) << "a read ended early";
    }
  }
  EXPECT_EQ(n, 1);
  EXPECT_EQ(b, 7);
  late.join();
  _ClosePort();
}

namespace {

// Writes filler until the line takes no more, even after the system has had
// time to move what it holds along.
std::size_t FillLine(int fd) {
  std::size_t total = 0;
  const Bytes zeros(1024, 0);
  for (int idle = 0; idle < 3;) {
    const ssize_t n = write(fd, zeros.data(), zeros.size());
    if (n > 0) total += static_cast<std::size_t>(n), idle = 0;
    else ++idle, std::this_thread::sleep_for(milliseconds(20));
  }
  return total;
}

}  // namespace

TEST(SerialPort, WriteOnAFullLineWaitsAndContinuesAPartialWrite) {
  Pty pty;
  ASSERT_TRUE(_OpenPort(pty.path.c_str()));
  const std::size_t filler = FillLine(g_hFile);
  // Longer than the room a first small read makes: part of it goes out early,
  // the rest only after the second, longer drain.
  Bytes message(8000);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7 + 1);
  Bytes got(10);
  std::thread drain([&] {
    std::this_thread::sleep_for(milliseconds(60));
    got.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(pty.master, got.data(), 10))));
    std::this_thread::sleep_for(milliseconds(150));
    // Until everything has come (bounded): a loaded machine may keep this
    // thread away for a while, and the bytes wait in the line meanwhile.
    const Bytes rest = ReadFor(pty.master, milliseconds(3000), filler + 8000 - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
  });
  auto t0 = Clock::now();
  EXPECT_EQ(_WriteCOMPort(8000, message.data()), 8000);
  EXPECT_GE(MsSince(t0), 200);
  drain.join();
  ASSERT_EQ(got.size(), filler + 8000);
  EXPECT_EQ(Bytes(got.end() - 8000, got.end()), message);

  // Nobody reads any more: the write gives up after about a second.
  FillLine(g_hFile);
  t0 = Clock::now();
  const int n = _WriteCOMPort(3200, message.data());
  EXPECT_GE(n, 0);
  EXPECT_LT(n, 3200);
  EXPECT_GE(MsSince(t0), 950);
  EXPECT_LT(MsSince(t0), 2000);  // about a second, not a wait without end
  _ClosePort();
}

namespace {

// Whether a program started with fork and exec finds descriptor `fd` open.
bool ChildHasDescriptor(int fd) {
  const std::string script = "test -e /dev/fd/" + std::to_string(fd);
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(SerialPort, DescriptorZeroIsAPortAndNoChildInheritsThePort) {
  emu::VirtualInstrument vi;
  close(0);
  ScanPaths scan({vi.path()});
  ASSERT_EQ(InitORNA(), 1);
  EXPECT_EQ(g_hFile, 0);
  EXPECT_FALSE(ChildHasDescriptor(0));
  ASSERT_TRUE(vi.wait_for_messages(2, milliseconds(1000)));
  EXPECT_EQ(Kinds(vi), (std::vector<emu::Kind>{emu::Kind::IdentifyProbe, emu::Kind::HWInfoRequest}));
  CloseLink();
  EXPECT_EQ(fcntl(0, F_GETFD), -1);  // closed with the connection
}

TEST(SerialPort, DescriptorsBeyondTheSelectLimitStillWork) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max < 1200) GTEST_SKIP() << "cannot open enough descriptors";
  lim.rlim_cur = 1200;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  emu::Config cfg;
  cfg.ad_value = 0x1234;
  emu::VirtualInstrument vi(cfg);
  std::vector<int> spare;
  for (int fd = open("/dev/null", O_RDONLY); fd >= 0 && fd < FD_SETSIZE + 10;
       fd = open("/dev/null", O_RDONLY))
    spare.push_back(fd);
  ScanPaths scan({vi.path()});
  ASSERT_EQ(InitORNA(), 1);
  EXPECT_GE(g_hFile, FD_SETSIZE);
  EXPECT_STREQ(GetSerialNo(), "SN0042");
  EXPECT_EQ(GetAD(), 0x1234);
  CloseLink();
  for (int fd : spare) close(fd);
}

namespace {
void IgnoreSignal(int) {}
}  // namespace

TEST(SerialPort, SleepEndsUnderFrequentSignals) {
  // A handler without SA_RESTART: every signal interrupts the sleep.
  struct sigaction sa {}, before{};
  sa.sa_handler = IgnoreSignal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &before), 0);
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    _SleepMilliseconds(5);
    done = true;
  });
  // A signal every 50 us (timed by spinning) for at most two seconds.
  const auto end = Clock::now() + milliseconds(2000);
  for (auto next = Clock::now(); !done && next < end; next += std::chrono::microseconds(50)) {
    while (Clock::now() < next) {
    }
    pthread_kill(sleeper.native_handle(), SIGUSR1);
  }
  EXPECT_TRUE(done.load()) << "a 5 ms sleep did not end under signals";
  sleeper.join();
  sigaction(SIGUSR1, &before, nullptr);
}
