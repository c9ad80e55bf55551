// HL7 v2 messages from a monitor: any bytes are taken apart without a crash,
// and the ACK written for them is itself a message that reads back with the
// same acknowledgement code and control ID.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hl7/message.h"
#include "hl7/pcd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  orna::hl7::Content content;
  const orna::hl7::Outcome outcome = orna::hl7::Interpret(text, &content);
  const std::string ack = orna::hl7::BuildAck(content, outcome, 1.7e9, "ORNA1");
  static orna::hl7::Message back;
  std::string error;
  if (!back.Parse(ack, &error)) std::abort();
  const orna::hl7::Segment* msa = back.Find("MSA");
  if (!msa || back.Get(*msa, 1) != orna::hl7::AckName(outcome.code) || back.Get(*msa, 2) != content.control_id)
    std::abort();
  double t = 0;
  (void)orna::hl7::ParseTimestamp(text, &t);
  return 0;
}
