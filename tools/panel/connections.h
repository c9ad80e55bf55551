// The panel's HTTP connections, kept off httplib's thread-per-connection
// model, where a dozen idle, slow or streaming connections would hold every
// worker: a connection waits for a whole request header in one poll thread
// (an idle or slow one costs no worker and is dropped at a deadline), a small
// pool runs each complete request through httplib, and an event stream is
// handed over to the event writer once its answer has begun.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace orna::panel {

class EventStreams;

struct ConnectionLimits {
  std::size_t workers = 4;
  std::size_t waiting = 256;  // connections waiting for a request; the oldest go first
  int idle_ms = 5000;         // a kept-alive connection with no new request
  int header_ms = 5000;       // from a request's first byte to the end of its header
  int io_ms = 5000;           // a worker's wait for body bytes or for room to write
  std::size_t header_bytes = 16 * 1024;
  std::size_t body_bytes = 16u << 20;  // an uploaded waveform file is well below
};

class PanelServer : public httplib::Server {
 public:
  PanelServer(const ConnectionLimits& limits, EventStreams* streams);
  ~PanelServer() override;
  // Starts the waiting room and the workers; before listen_after_bind().
  void StartConnections();
  // After stop() has returned from listening: ends every connection.
  void StopConnections();

  // For a handler: this response is the connection's last.
  static void CloseAfterResponse();
  // For a handler: writes `head` and hands the connection to the event writer
  // with the batches after `seq`; false when this is not possible (no room).
  static bool TakeForEvents(const std::string& head, std::uint64_t seq);

 protected:
  bool process_and_close_socket(socket_t sock) override;

 private:
  struct Waiting {
    int fd = -1;
    std::string data;  // bytes received of the next request
    std::int64_t deadline_ms = 0;
    bool started = false;  // a byte of the request has come
  };
  void WaitingRoom();
  void Worker();
  void Admit(Waiting w);  // to the waiting room
  bool Ready(Waiting* w);  // true: complete header, queued for a worker
  static std::int64_t NowMs();

  ConnectionLimits limits_;
  EventStreams* streams_;
  std::mutex m_;
  std::condition_variable jobs_cv_;
  std::vector<Waiting> incoming_;
  std::deque<Waiting> jobs_;
  std::set<int> busy_;  // connections a worker is answering
  bool stopping_ = false;
  int wake_[2] = {-1, -1};
  std::thread room_;
  std::vector<std::thread> workers_;
};

}  // namespace orna::panel
