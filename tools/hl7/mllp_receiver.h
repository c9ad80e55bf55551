// Receives HL7 v2 messages over MLLP (0x0B message 0x1C 0x0D) on TCP and
// answers each with an ACK, on one thread polling every connection.
//
// Limits: a message larger than `max_message` is read to its end, refused
// (AR) and dropped; connections beyond `max_connections` are closed at once;
// a connection that sends nothing for `read_timeout_s` is closed. Whatever
// comes in, the connection stays up and every message is answered.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "hl7/pcd.h"

namespace orna::hl7 {

struct ReceiverOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port (see port())
  std::size_t max_message = kMaxMessage;
  int max_connections = 8;
  double read_timeout_s = 60;
  // The clock of the ACKs' MSH-7 (seconds since 1970); the system clock when empty.
  std::function<double()> now;
  // Each message, after it was read and before it is answered. Called on the receiver's thread.
  std::function<void(const Content&, const Outcome&)> on_message;
  // One line for each refused message and connection event worth telling.
  std::function<void(const std::string&)> log;
};

// "[ADDRESS:]PORT" into its parts (IPv4 address, default 127.0.0.1); false when it is not one.
bool ParseListen(const std::string& text, std::string* address, int* port);

class MllpReceiver {
 public:
  MllpReceiver();
  ~MllpReceiver();  // stops
  MllpReceiver(const MllpReceiver&) = delete;
  MllpReceiver& operator=(const MllpReceiver&) = delete;

  bool Start(const ReceiverOptions& options, std::string* error);
  void Stop();
  int port() const;  // the port listened on

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orna::hl7
