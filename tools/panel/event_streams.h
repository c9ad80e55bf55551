// The live stream's listeners: one thread writes every batch to every
// registered connection without blocking, so a page that reads slowly (or not
// at all) holds no HTTP worker; it is dropped once too far behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orna::panel {

class Stream;

class EventStreams {
 public:
  EventStreams(Stream* source, std::size_t capacity) : source_(source), capacity_(capacity) {}
  ~EventStreams() { Stop(); }
  void Start();
  void Stop();  // closes every listener
  // Reserves a place; false when all are taken.
  bool Reserve();
  // Takes over `fd` (its answer's head written) for the reserved place; it gets
  // the batches after `seq` (0: from now on).
  void Add(int fd, std::uint64_t seq);
  std::size_t count() const { return used_.load(); }

 private:
  struct Listener {
    int fd;
    std::string out;  // written when the connection has room
  };
  void Run();
  Stream* source_;
  const std::size_t capacity_;
  std::atomic<std::size_t> used_{0};
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<std::pair<int, std::uint64_t>> added_;
  std::thread thread_;
};

}  // namespace orna::panel
