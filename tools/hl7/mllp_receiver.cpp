#include "hl7/mllp_receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace orna::hl7 {

namespace {

constexpr char kStart = 0x0b, kEnd = 0x1c, kCr = 0x0d;
constexpr std::size_t kMaxPendingOut = 1 << 20;  // ACKs a peer has not read; more and it is dropped

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
double Steady() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Connection {
  int fd = -1;
  std::string peer;
  std::string in;        // the message being read, without its start block
  bool inside = false;   // after a start block
  bool oversized = false;
  bool end_seen = false; // 0x1C read; 0x0D should follow
  std::string out;       // ACKs not yet written
  double last_read = 0;
};

}  // namespace

bool ParseListen(const std::string& text, std::string* address, int* port) {
  const std::size_t colon = text.rfind(':');
  std::string addr = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::stoi(p);
  in_addr a{};
  if (n > 65535 || addr.empty() || inet_pton(AF_INET, addr.c_str(), &a) != 1) return false;
  *address = addr;
  *port = n;
  return true;
}

struct MllpReceiver::Impl {
  ReceiverOptions o;
  int listen_fd = -1, wake[2] = {-1, -1}, port = 0;
  std::thread thread;
  std::vector<Connection> conns;
  unsigned long acks = 0;

  void log(const std::string& line) {
    if (o.log) o.log(line);
  }

  void Answer(Connection& c, const std::string& message, bool oversized) {
    Content content;
    Outcome outcome;
    if (oversized) {
      // Its header is still at the front: the ACK names the message it refuses.
      Interpret(message, &content);
      outcome = {AckCode::AR, 100, "the message is larger than " + std::to_string(o.max_message) + " bytes"};
    } else {
      outcome = Interpret(message, &content);
    }
    if (outcome.code != AckCode::AA)
      log("HL7 from " + c.peer + ": " + AckName(outcome.code) + " for message '" + content.control_id +
          "': " + outcome.reason);
    if (o.on_message) o.on_message(content, outcome);
    // Written straight into what goes out: no copy of the ACK on the way.
    c.out += kStart;
    AppendAck(&c.out, content, outcome, o.now ? o.now() : Now(), "ORNA" + std::to_string(++acks));
    c.out += kEnd;
    c.out += kCr;
    Flush(c);
  }

  void Flush(Connection& c) {
    while (!c.out.empty()) {
      const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) c.out.erase(0, static_cast<std::size_t>(n));
      else if (n < 0 && errno == EINTR) continue;
      else break;
    }
    if (c.out.size() > kMaxPendingOut) Close(c, "does not read its ACKs");
  }

  void Close(Connection& c, const char* why) {
    if (c.fd < 0) return;
    if (why) log("HL7 connection from " + c.peer + " closed: " + why);
    close(c.fd);
    c.fd = -1;
  }

  // Takes in bytes as they come: messages are framed by their blocks; bytes
  // outside a frame are dropped.
  void Take(Connection& c, const char* data, std::size_t n) {
    for (std::size_t i = 0; i < n && c.fd >= 0;) {
      if (!c.inside) {
        const void* s = std::memchr(data + i, kStart, n - i);
        if (!s) break;
        i = static_cast<std::size_t>(static_cast<const char*>(s) - data) + 1;
        c.inside = true;
        c.in.clear();
        c.oversized = c.end_seen = false;
        continue;
      }
      if (c.end_seen) {
        c.end_seen = false;
        if (data[i] == kCr) {
          ++i;
          c.inside = false;
          const std::string message = std::move(c.in);
          c.in.clear();
          Answer(c, message, c.oversized);
          continue;
        }
        Append(c, kEnd);  // a 0x1C inside the message
        continue;
      }
      // Up to the next end block (or start block: a sender that gave up on a message starts again).
      std::size_t j = i;
      while (j < n && data[j] != kEnd && data[j] != kStart) ++j;
      Append(c, data + i, j - i);
      i = j;
      if (i < n && data[i] == kEnd) c.end_seen = true, ++i;
      else if (i < n && data[i] == kStart) {
        log("HL7 from " + c.peer + ": a message without its end block was dropped");
        c.inside = false;
      }
    }
  }

  void Append(Connection& c, const char* p, std::size_t n) {
    if (c.oversized) return;
    if (c.in.size() + n > o.max_message) {
      // Its front is kept for the ACK's header; the rest is dropped until the end block.
      c.oversized = true;
      if (c.in.size() < 4096) c.in.append(p, std::min(n, 4096 - c.in.size()));
      c.in.resize(std::min<std::size_t>(c.in.size(), 4096));
      return;
    }
    c.in.append(p, n);
  }
  void Append(Connection& c, char ch) { Append(c, &ch, 1); }

  void Loop() {
    std::vector<char> buf(64 * 1024);
    for (;;) {
      std::vector<pollfd> fds{{wake[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
      for (const auto& c : conns) fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
      const int r = poll(fds.data(), fds.size(), 200);
      if (r < 0 && errno != EINTR) return;
      if (fds[0].revents) return;
      const double now = Steady();
      for (std::size_t k = 0; k < conns.size(); ++k) {
        Connection& c = conns[k];
        const short ev = fds[k + 2].revents;
        if (ev & POLLOUT) Flush(c);
        if (c.fd >= 0 && (ev & (POLLIN | POLLHUP | POLLERR))) {
          const ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n > 0) {
            c.last_read = now;
            Take(c, buf.data(), static_cast<std::size_t>(n));
          } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            Close(c, c.inside ? "ended in the middle of a message" : nullptr);
          }
        }
        if (c.fd >= 0 && now - c.last_read > o.read_timeout_s) Close(c, "nothing read within the timeout");
      }
      conns.erase(std::remove_if(conns.begin(), conns.end(), [](const Connection& c) { return c.fd < 0; }),
                  conns.end());
      if (fds[1].revents & POLLIN) Accept(now);
    }
  }

  void Accept(double now) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    char name[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, name, sizeof name);
    const std::string who = std::string(name) + ":" + std::to_string(ntohs(peer.sin_port));
    if (static_cast<int>(conns.size()) >= o.max_connections) {
      log("HL7 connection from " + who + " refused: " + std::to_string(o.max_connections) + " are open already");
      close(fd);
      return;
    }
    Connection c;
    c.fd = fd;
    c.peer = who;
    c.last_read = now;
    conns.push_back(std::move(c));
  }
};

MllpReceiver::MllpReceiver() : impl_(new Impl) {}
MllpReceiver::~MllpReceiver() { Stop(); }

bool MllpReceiver::Start(const ReceiverOptions& options, std::string* error) {
  Impl& d = *impl_;
  d.o = options;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (inet_pton(AF_INET, options.address.c_str(), &a.sin_addr) != 1) {
    *error = "'" + options.address + "' is not an IPv4 address";
    return false;
  }
  d.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(d.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof a;
  if (d.listen_fd < 0 || bind(d.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(d.listen_fd, 16) != 0 || getsockname(d.listen_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      pipe2(d.wake, O_CLOEXEC) != 0) {
    *error = std::string("cannot listen on ") + options.address + ":" + std::to_string(options.port) + ": " +
             std::strerror(errno);
    Stop();
    return false;
  }
  d.port = ntohs(a.sin_port);
  d.thread = std::thread([&d] { d.Loop(); });
  return true;
}

void MllpReceiver::Stop() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    const char x = 0;
    while (write(d.wake[1], &x, 1) < 0 && errno == EINTR) {
    }
    d.thread.join();
  }
  for (auto& c : d.conns) d.Close(c, nullptr);
  d.conns.clear();
  for (int* fd : {&d.listen_fd, &d.wake[0], &d.wake[1]})
    if (*fd >= 0) close(*fd), *fd = -1;
}

int MllpReceiver::port() const { return impl_->port; }

}  // namespace orna::hl7
