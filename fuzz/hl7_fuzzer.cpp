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
  // The content is the input's own: what it allocates is freed before the
  // next input, so the fuzzer has no growth to take for a leak and re-run.
  orna::hl7::Content content;
  static orna::hl7::Message back;
  static std::string ack, error, room;
  const orna::hl7::Outcome outcome = orna::hl7::Interpret(text, &content);
  ack.clear();
  orna::hl7::AppendAck(&ack, content, outcome, 1.7e9, "ORNA1");
  if (!back.Parse(ack, &error)) std::abort();
  const orna::hl7::Segment* msa = back.Find("MSA");
  if (!msa || back.View(&room, *msa, 1) != orna::hl7::AckName(outcome.code) ||
      back.View(&room, *msa, 2) != content.control_id)
    std::abort();
  double t = 0;
  (void)orna::hl7::ParseTimestamp(text, &t);
  return 0;
}
