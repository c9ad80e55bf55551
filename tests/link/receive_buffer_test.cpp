// The receive buffer and the parser, driven without the receive thread.
#include <gtest/gtest.h>

#include "control/apply.h"
#include "support/instrument.h"
#include "support/link.h"
#include "support/process.h"
#include "support/terminal.h"
#include "support/wait.h"

using namespace orna;
using namespace orna::test;

namespace {

int Append(const Bytes& b) { return _USBDataAppend(b.data(), static_cast<int>(b.size())); }
Bytes Pending() { return Bytes(s_DataBegin, s_DataEnd); }
void Place(int begin, int end) {
  s_DataBegin = s_USBRxData + begin;
  s_DataEnd = s_USBRxData + end;
}
Bytes Message(std::uint8_t first, int length) {
  Bytes b(static_cast<std::size_t>(length), 0x61);
  b[0] = first;
  return b;
}
// One pass after the instrument's bytes have arrived.
void PollWhenArrived() {
  std::this_thread::sleep_for(milliseconds(50));
  _USBDataPoll();
}

}  // namespace

TEST(ReceiveBuffer, SequenceErrorReportSplitTenAndFiveIsCountedOnceWhole) {
  const Bytes report = Message('S', 15);
  EXPECT_EQ(Append(Bytes(report.begin(), report.begin() + 10)), 10);
  EXPECT_FALSE(_USBDataParse());
  EXPECT_EQ(s_SeqErrorCounter, 0);
  EXPECT_EQ(Append(Bytes(report.begin() + 10, report.end())), 5);
  EXPECT_TRUE(_USBDataParse());
  EXPECT_EQ(s_SeqErrorCounter, 1);
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(s_OwedBytes, 0);
  EXPECT_FALSE(_USBDataParse());
}

TEST(ReceiveBuffer, MessagesShortOfTheirLastByteAreHandledAndTheByteIsOwed) {
  // The owed 8th byte of the version report is an 'N': parsing it instead of
  // dropping it would show.
  EXPECT_EQ(RangeOn(), 4.0);
  Append({'4', '0', '0', '0', '0', '0', '2'});
  EXPECT_TRUE(_USBDataParse());
  EXPECT_EQ(RangeOn(), 5.0);
  EXPECT_EQ(g_RangeV4Ch2Off, 5.0);
  EXPECT_EQ(s_OwedBytes, 1);
  const Bytes status = Message('2', 7);
  EXPECT_EQ(Append({'N', '2', 0x61, 0x61, 0x61, 0x61, 0x61, 0x61}), 8);
  EXPECT_EQ(Pending(), status);
  EXPECT_TRUE(_USBDataParse());

  Append(Message('S', 14));
  EXPECT_TRUE(_USBDataParse());
  EXPECT_EQ(s_SeqErrorCounter, 1);
  EXPECT_EQ(s_OwedBytes, 1);
  Append({0x99, 'N'});
  EXPECT_EQ(Pending(), Bytes{'N'});
  EXPECT_TRUE(_USBDataParse());
  EXPECT_EQ(s_OwedBytes, 1);
  // A status message of 6 bytes waits for its 7th.
  Append({0x00});
  Append(Bytes(status.begin(), status.begin() + 6));
  EXPECT_FALSE(_USBDataParse());
  EXPECT_EQ(Pending().size(), 6u);
}

TEST(ReceiveBuffer, CompactsOnlyWhenTheNewBytesDoNotFitBehindThePending) {
  std::memset(s_USBRxData, 0xEE, sizeof s_USBRxData);
  Place(4090, 4093);
  std::memcpy(s_USBRxData + 4090, "S\x01\x02", 3);
  EXPECT_EQ(Append({3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), 10);
  EXPECT_EQ(s_DataBegin, s_USBRxData);
  EXPECT_EQ(Pending(), (Bytes{'S', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

  std::memset(s_USBRxData, 0xEE, sizeof s_USBRxData);
  Place(4000, 4000);
  EXPECT_EQ(Append(Bytes(90, 0x32)), 90);
  EXPECT_EQ(s_DataBegin, s_USBRxData + 4000);
  EXPECT_EQ(s_DataEnd, s_USBRxData + 4090);
  EXPECT_EQ(Bytes(s_USBRxData, s_USBRxData + 4000), Bytes(4000, 0xEE));

  // Never past the end: what does not fit after a compaction is not taken.
  Place(50, 4050);
  EXPECT_EQ(Append(Bytes(200, 0x41)), 96);
  EXPECT_EQ(s_DataBegin, s_USBRxData);
  EXPECT_EQ(s_DataEnd, s_USBRxData + kRxBufferSize);
  EXPECT_EQ(Append(Bytes(5, 0x41)), 0);
  s_OwedBytes = 1;
  EXPECT_EQ(Append(Bytes(5, 0x41)), 1);  // only the owed byte could go
}

TEST(ReceiveBuffer, APassHandlesEveryCompleteMessageAndDropsUnknownBytes) {
  emu::VirtualInstrument vi;
  ASSERT_TRUE(_OpenPort(vi.path().c_str()));
  s_ECGGoing = true;
  // A status message, a request, a sequence error report, a request, a
  // version report, a request and a request short of its second byte: all
  // handled in one pass, in order.
  Bytes burst = {'2', 0, 0, 0, 0, 0, 0, 'N', 0};
  burst.insert(burst.end(), 15, 0);
  burst[9] = 'S';
  burst.insert(burst.end(), {'N', 1, '4', '0', '0', '0', '0', '0', '2', 0, 'N', 2, 'N'});
  Append(burst);
  _USBDataPoll();
  EXPECT_TRUE(vi.wait_for_packets(4, milliseconds(2000)));
  EXPECT_EQ(s_SeqErrorCounter, 1);
  EXPECT_EQ(RangeOn(), 5.0);
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(s_OwedBytes, 1);  // the last request's second byte

  // The owed byte, a late AD reply and a request off the line: the reply is
  // dropped whole, the request answered in the same pass.
  vi.send({0x00, 0xAD, 0x01, 0x2C, 'N', 0x00});
  PollWhenArrived();
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(vi.wait_for_packets(5, milliseconds(2000)));
  Append({0x00, 0xFF, 0x10});
  EXPECT_FALSE(_USBDataParse());
  EXPECT_TRUE(Pending().empty());

  // Not streaming: the request is consumed and nothing is sent.
  s_ECGGoing = false;
  Append({'N', 0x00});
  EXPECT_TRUE(_USBDataParse());
  EXPECT_TRUE(Pending().empty());
  EXPECT_FALSE(vi.wait_for_packets(6, milliseconds(300)));
  _ClosePort();
}

TEST(ReceiveBuffer, APassReadsOnlyWhatTheBufferCanTake) {
  emu::VirtualInstrument vi;
  ASSERT_TRUE(_OpenPort(vi.path().c_str()));
  for (int i = 0; i < 4090; i += 2) std::memcpy(s_USBRxData + i, "N", 2);  // unanswered requests
  Place(0, 4090);
  Bytes sent(20);
  for (int i = 0; i < 20; ++i) sent[i] = static_cast<std::uint8_t>(0xC0 + i);
  vi.send(sent);
  PollWhenArrived();  // room for 6; then every request and those 6 bytes are parsed
  EXPECT_EQ(s_DataEnd, s_USBRxData + kRxBufferSize);
  EXPECT_EQ(Bytes(s_DataEnd - 6, s_DataEnd), Bytes(sent.begin(), sent.begin() + 6));
  EXPECT_TRUE(Pending().empty());
  // Nothing was lost: the rest still waits on the line.
  unsigned char rest[128];
  ASSERT_EQ(_ReadCOMPort(128, rest), 14);
  EXPECT_EQ(Bytes(rest, rest + 14), Bytes(sent.begin() + 6, sent.end()));
  _ClosePort();
}
