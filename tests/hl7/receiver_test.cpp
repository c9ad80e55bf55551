// The MLLP receiver in a process of its own, and clients in this one over
// loopback: ACKs byte for byte, framing split anyhow, bad messages answered
// and survived, and the limits.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "hl7/mllp_receiver.h"

namespace orna::hl7 {
namespace {

const std::string kMsh = "MSH|^~\\&|MON|W1|||20260301090000+0000||";

std::string Frame(const std::string& m) { return "\x0b" + m + "\x1c\r"; }
std::string Ack(const std::string& event, const std::string& n, const std::string& msa, const std::string& err = "") {
  return Frame("MSH|^~\\&|ORNA|BENCH|MON|W1|20260301090000.000+0000||ACK^" + event + "^ACK|ORNA" + n + "|P|2.6\r" +
               msa + "\r" + err);
}

// A receiver in a child process, ACK clock fixed; it ends when the pipe to it closes.
class ReceiverProcess {
 public:
  explicit ReceiverProcess(double read_timeout_s = 30) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      MllpReceiver r;
      ReceiverOptions o;
      o.read_timeout_s = read_timeout_s;
      o.now = [] { return 1772355600.0; };
      std::string error;
      const int port = r.Start(o, &error) ? r.port() : -1;
      if (write(up[1], &port, sizeof port) != sizeof port) _exit(2);
      char c;
      while (read(down[0], &c, 1) > 0) {
      }
      r.Stop();
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    stop_ = down[1];
    if (read(up[0], &port_, sizeof port_) != sizeof port_) port_ = -1;
    close(up[0]);
  }
  // The child's exit status: 0 when it ended as asked (no crash on the way).
  int Finish() {
    close(stop_);
    int status = -1;
    waitpid(pid_, &status, 0);
    return status;
  }
  ~ReceiverProcess() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stop_ = -1, port_ = -1;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close(fd);
  return fd;
}

void Send(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

// Reads until `n` bytes came, the peer closed, or 5 s passed.
std::string Receive(int fd, std::size_t n) {
  std::string got;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char buf[4096];
  while (got.size() < n && std::chrono::steady_clock::now() < give_up) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, static_cast<std::size_t>(r));
  }
  return got;
}

// Whether the peer closed the connection within 5 s.
bool Closed(int fd) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char c;
  while (std::chrono::steady_clock::now() < give_up) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) return recv(fd, &c, 1, 0) <= 0;
  }
  return false;
}

TEST(MllpReceiver, AnswersEveryMessageByteForByteAndStaysUp) {
  ReceiverProcess rp;
  ASSERT_GT(rp.port(), 0);
  const int fd = Connect(rp.port());
  ASSERT_GE(fd, 0);
  const std::string good = kMsh + "ORU^R01^ORU_R01|M1|P|2.6\rOBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC|1.1.1.1|72\r";
  const std::string alarm = kMsh + "ORU^R40^ORU_R40|M3|P|2.6\rOBR|1\rOBX|1|ST|^MDC_EVT_ECG_BRADY^MDC||x\r";
  // Noise before the first frame, a frame written a byte at a time, a 0x1C inside a message.
  const std::string first = "noise" + Frame(good);
  for (char c : first) Send(fd, std::string(1, c));
  const std::string a1 = Ack("R01", "1", "MSA|AA|M1");
  EXPECT_EQ(Receive(fd, a1.size()), a1);
  // Garbage, a bad number and an alarm in one write.
  Send(fd, Frame("not\x1chl7") + Frame(kMsh + "ORU^R01|M2|P|2.6\rOBX|1|NM|147842^^MDC||7\\F\\2\r") + Frame(alarm));
  const std::string rest =
      Frame("MSH|^~\\&|ORNA|BENCH|||20260301090000.000+0000||ACK^^ACK|ORNA2|P|2.6\rMSA|AR|\r"
            "ERR|||100^Segment sequence error^HL70357|E||||the message does not begin with MSH\r") +
      Ack("R01", "3", "MSA|AE|M2",
          "ERR|||102^Data type error^HL70357|E||||OBX 1: OBX-5 '7\\F\\2' is not a number\r") +
      Ack("R40", "4", "MSA|AA|M3");
  EXPECT_EQ(Receive(fd, rest.size()), rest);
  close(fd);
  EXPECT_EQ(rp.Finish(), 0);
}

TEST(MllpReceiver, KeepsItsLimits) {
  ReceiverProcess rp(0.5);
  ASSERT_GT(rp.port(), 0);
  // A message above 1 MB is refused by its header, and the next one on the connection taken.
  const int fd = Connect(rp.port());
  Send(fd, Frame(kMsh + "ORU^R01|BIG|P|2.6\rNTE|1||" + std::string(1 << 20, 'x') + "\r") +
               Frame(kMsh + "ORU^R01|M2|P|2.6\r"));
  const std::string acks =
      Ack("R01", "1", "MSA|AR|BIG", "ERR|||100^Segment sequence error^HL70357|E||||the message is larger than 1048576 bytes\r") +
      Ack("R01", "2", "MSA|AA|M2");
  EXPECT_EQ(Receive(fd, acks.size()), acks);
  // Eight connections at a time; a ninth is closed at once.
  std::vector<int> more;
  for (int i = 0; i < 7; ++i) more.push_back(Connect(rp.port()));
  const int ninth = Connect(rp.port());
  EXPECT_TRUE(Closed(ninth));
  // A connection that stops in the middle of a message is closed after the read timeout.
  Send(more[0], "\x0b" + kMsh);
  EXPECT_TRUE(Closed(more[0]));
  for (int f : more) close(f);
  close(ninth);
  close(fd);
  EXPECT_EQ(rp.Finish(), 0);
}

}  // namespace
}  // namespace orna::hl7
