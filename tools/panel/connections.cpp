#include "connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "event_streams.h"

namespace orna::panel {

namespace {

// One request's connection as httplib reads and writes it: first the bytes
// the waiting room already has, then the socket, with bounded waits.
class Connection : public httplib::Stream {
 public:
  Connection(int fd, std::string data, int io_ms) : fd_(fd), data_(std::move(data)), io_ms_(io_ms) {}

  bool is_readable() const override { return at_ < data_.size() || Wait(POLLIN); }
  bool is_writable() const override { return Wait(POLLOUT); }
  ssize_t read(char* ptr, size_t size) override {
    if (at_ < data_.size()) {
      const std::size_t n = std::min(size, data_.size() - at_);
      std::memcpy(ptr, data_.data() + at_, n);
      at_ += n;
      return static_cast<ssize_t>(n);
    }
    if (!Wait(POLLIN)) return -1;
    return recv(fd_, ptr, size, MSG_DONTWAIT);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (taken_) return static_cast<ssize_t>(size);  // the event writer answers instead
    return WriteAll(ptr, size) ? static_cast<ssize_t>(size) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(getsockname, ip, port); }
  socket_t socket() const override { return fd_; }

  bool WriteAll(const char* p, std::size_t n) {
    while (n) {
      const ssize_t w = send(fd_, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (w > 0) {
        p += w;
        n -= static_cast<std::size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (!Wait(POLLOUT)) {
        return false;
      }
    }
    return true;
  }
  // What a pipelining client sent after this request.
  std::string Rest() const { return data_.substr(std::min(at_, data_.size())); }

  bool close_ = false;
  bool taken_ = false;
  std::uint64_t seq_ = 0;

 private:
  bool Wait(short events) const {
    pollfd p{fd_, events, 0};
    int r;
    while ((r = poll(&p, 1, io_ms_)) < 0 && errno == EINTR) {
    }
    return r > 0 && (p.revents & (events | POLLHUP | POLLERR));
  }
  template <class F>
  void Address(F get, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (get(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&a);
      inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
      port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
      auto* in = reinterpret_cast<sockaddr_in6*>(&a);
      inet_ntop(AF_INET6, &in->sin6_addr, buf, sizeof buf);
      port = ntohs(in->sin6_port);
    }
    ip = buf;
  }

  int fd_;
  std::string data_;
  std::size_t at_ = 0;
  int io_ms_;
};

thread_local Connection* t_current = nullptr;
thread_local EventStreams* t_streams = nullptr;

void CloseSocket(int fd) {
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

// A header line's value, the name matched without regard to case.
std::string HeaderValue(const std::string& head, const char* name) {
  const std::size_t len = std::strlen(name);
  for (std::size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();
       at = head.find("\r\n", at + 2)) {
    const char* line = head.c_str() + at + 2;
    if (strncasecmp(line, name, len) == 0 && line[len] == ':') {
      const std::size_t from = at + 2 + len + 1, to = head.find("\r\n", from);
      std::string v = head.substr(from, to - from);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  }
  return {};
}

void Refuse(int fd, const char* status, const char* text) {
  std::string r = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                  std::to_string(std::strlen(text)) + "\r\nConnection: close\r\n\r\n" + text;
  send(fd, r.data(), r.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  CloseSocket(fd);
}

// Runs each accepted connection's first step on the listening thread: it only
// hands the socket to the waiting room.
class Inline : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

PanelServer::PanelServer(const ConnectionLimits& limits, EventStreams* streams)
    : limits_(limits), streams_(streams) {
  new_task_queue = [] { return new Inline; };
  set_keep_alive_timeout(limits.idle_ms / 1000);
  set_keep_alive_max_count(1000);
  set_payload_max_length(limits.body_bytes);
  // Without SO_REUSEPORT: a second panel on the same port must fail to bind,
  // not share the connections.
  set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

PanelServer::~PanelServer() { StopConnections(); }

std::int64_t PanelServer::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void PanelServer::StartConnections() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
  room_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "panel-conns");
    WaitingRoom();
  });
  for (std::size_t i = 0; i < limits_.workers; ++i)
    workers_.emplace_back([this] {
      pthread_setname_np(pthread_self(), "panel-worker");
      Worker();
    });
}

void PanelServer::StopConnections() {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (stopping_ || !room_.joinable()) return;
    stopping_ = true;
    for (int fd : busy_) shutdown(fd, SHUT_RDWR);  // a worker's wait ends now
  }
  jobs_cv_.notify_all();
  if (write(wake_[1], "x", 1) < 0) {
  }
  room_.join();
  for (auto& t : workers_) t.join();
  for (auto& w : incoming_) CloseSocket(w.fd);
  for (auto& w : jobs_) CloseSocket(w.fd);
  incoming_.clear();
  jobs_.clear();
  close(wake_[0]);
  close(wake_[1]);
}

bool PanelServer::process_and_close_socket(socket_t sock) {
  fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
  int yes = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // head and body are separate writes
  Admit({sock, {}, NowMs() + limits_.idle_ms, false});
  return true;
}

void PanelServer::Admit(Waiting w) {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (stopping_) {
      CloseSocket(w.fd);
      return;
    }
    incoming_.push_back(std::move(w));
  }
  if (write(wake_[1], "x", 1) < 0) {
  }  // full: a wake-up is pending anyway
}

bool PanelServer::Ready(Waiting* w) {
  const std::size_t end = w->data.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (w->data.size() > limits_.header_bytes) {
      Refuse(w->fd, "431 Request Header Fields Too Large", "request header too large\n");
      return true;
    }
    return false;
  }
  const std::string head = w->data.substr(0, end + 2);
  const std::string length = HeaderValue(head, "Content-Length");
  if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > limits_.body_bytes) {
    Refuse(w->fd, "413 Payload Too Large", "request body too large\n");
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    jobs_.push_back(std::move(*w));
  }
  jobs_cv_.notify_one();
  return true;
}

void PanelServer::WaitingRoom() {
  std::vector<Waiting> conns;
  std::vector<pollfd> fds;
  char buf[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_);
      if (stopping_) break;
      for (auto& w : incoming_) conns.push_back(std::move(w));
      incoming_.clear();
    }
    // A client's pipelined request may be complete already.
    for (std::size_t i = 0; i < conns.size();)
      if (!conns[i].data.empty() && Ready(&conns[i])) conns.erase(conns.begin() + static_cast<long>(i));
      else ++i;
    while (conns.size() > limits_.waiting) {
      CloseSocket(conns.front().fd);
      conns.erase(conns.begin());
    }
    std::int64_t now = NowMs(), next = now + 1000;
    fds.assign(1, pollfd{wake_[0], POLLIN, 0});
    for (const auto& w : conns) {
      fds.push_back({w.fd, POLLIN, 0});
      next = std::min(next, w.deadline_ms);
    }
    poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, next - now)));
    if (fds[0].revents)
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    now = NowMs();
    std::vector<Waiting> keep;
    keep.reserve(conns.size());
    for (std::size_t i = 0; i < conns.size(); ++i) {
      Waiting& w = conns[i];
      bool gone = false, fresh = false;
      if (fds[i + 1].revents) {
        for (;;) {
          const ssize_t n = recv(w.fd, buf, sizeof buf, MSG_DONTWAIT);
          if (n > 0) {
            w.data.append(buf, static_cast<std::size_t>(n));
            fresh = true;
            if (w.data.size() > limits_.header_bytes) break;
          } else {
            gone = n == 0 || (errno != EAGAIN && errno != EINTR);
            break;
          }
        }
      }
      if (gone) {
        CloseSocket(w.fd);
        continue;
      }
      if (fresh && !w.started) {
        w.started = true;
        w.deadline_ms = now + limits_.header_ms;
      }
      if (fresh && Ready(&w)) continue;
      if (now >= w.deadline_ms) {
        CloseSocket(w.fd);  // idle, or too slow with its header
        continue;
      }
      keep.push_back(std::move(w));
    }
    conns.swap(keep);
  }
  for (auto& w : conns) CloseSocket(w.fd);
}

void PanelServer::Worker() {
  t_streams = streams_;
  for (;;) {
    Waiting job;
    bool stopping;
    {
      std::unique_lock<std::mutex> lock(m_);
      jobs_cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_.insert(job.fd);
      stopping = stopping_;
    }
    Connection c(job.fd, std::move(job.data), limits_.io_ms);
    bool closed = false;
    t_current = &c;
    const bool ok = process_request(c, stopping, closed, nullptr);
    t_current = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_);
      busy_.erase(job.fd);
    }
    if (c.taken_) streams_->Add(job.fd, c.seq_);
    else if (!ok || closed || c.close_) CloseSocket(job.fd);
    else Admit({job.fd, c.Rest(), NowMs() + limits_.idle_ms, false});
  }
}

void PanelServer::CloseAfterResponse() {
  if (t_current) t_current->close_ = true;
}

bool PanelServer::TakeForEvents(const std::string& head, std::uint64_t seq) {
  if (!t_current || !t_streams || !t_streams->Reserve()) return false;
  t_current->seq_ = seq;
  t_current->taken_ = true;
  // The event writer sends nothing before this head; it owns the socket next.
  if (!t_current->WriteAll(head.data(), head.size())) {
    // Answered all the same: the writer drops the connection at its first write.
  }
  return true;
}

}  // namespace orna::panel
