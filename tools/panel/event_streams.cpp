#include "event_streams.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "stream.h"

namespace orna::panel {

namespace {

constexpr std::size_t kBehind = 4u << 20;  // bytes not yet taken by a listener before it is dropped
constexpr auto kIdle = std::chrono::seconds(1);  // a comment line then, so a dead listener shows

void Drop(int fd) {
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

}  // namespace

void EventStreams::Start() {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "panel-events");
    Run();
  });
}

void EventStreams::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(m_);
  for (const auto& a : added_) Drop(a.first);
  added_.clear();
}

bool EventStreams::Reserve() {
  std::size_t n = used_.load();
  do {
    if (n >= capacity_ || stop_) return false;
  } while (!used_.compare_exchange_weak(n, n + 1));
  return true;
}

void EventStreams::Add(int fd, std::uint64_t seq) {
  std::lock_guard<std::mutex> lock(m_);
  added_.emplace_back(fd, seq);
}

void EventStreams::Run() {
  std::vector<Listener> listeners;
  std::vector<pollfd> fds;
  std::uint64_t last = 0;
  auto written = std::chrono::steady_clock::now();
  char scratch[512];
  while (!stop_) {
    std::string fresh;
    const std::uint64_t before = last;
    last = source_->Next(last, &fresh, 250);
    {
      // A reconnecting page names the last batch it has; the rest follows.
      std::lock_guard<std::mutex> lock(m_);
      for (const auto& [fd, seq] : added_)
        listeners.push_back({fd, seq && seq < before ? source_->Between(seq, before) : std::string()});
      added_.clear();
    }
    const auto now = std::chrono::steady_clock::now();
    if (fresh.empty() && now - written >= kIdle) fresh = ": idle\n\n";
    if (!fresh.empty()) written = now;
    fds.clear();
    for (auto& l : listeners) {
      l.out += fresh;
      fds.push_back({l.fd, POLLIN, 0});
    }
    poll(fds.data(), fds.size(), 0);
    std::vector<Listener> keep;
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      Listener& l = listeners[i];
      bool gone = (fds[i].revents & (POLLHUP | POLLERR)) != 0;
      if (fds[i].revents & POLLIN) {
        const ssize_t n = recv(l.fd, scratch, sizeof scratch, MSG_DONTWAIT);
        gone = gone || n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
      }
      while (!gone && !l.out.empty()) {
        const ssize_t n = send(l.fd, l.out.data(), l.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) l.out.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR) gone = true;
        else break;
      }
      if (gone || l.out.size() > kBehind) {
        Drop(l.fd);
        --used_;
      } else {
        keep.push_back(std::move(l));
      }
    }
    listeners.swap(keep);
  }
  for (auto& l : listeners) Drop(l.fd);
  used_ -= listeners.size();
}

}  // namespace orna::panel
