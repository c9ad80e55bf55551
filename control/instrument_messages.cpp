// The instrument's messages and the loss of its device, as the receive thread
// hands them up (with s_lock held).
#include "control/instrument_messages.h"

#include "control/apply.h"
#include "generator/settings.h"
#include "generator/packet_builder.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "orna.h"

namespace orna {

namespace {

void (*s_LinkLostCB)() = nullptr;  // under s_lock

}  // namespace

void _InstallInstrumentHandlers() {
  _InstallMessageHandler(_HandleInstrumentMessage);
  _InstallLinkLostHook(_HandleLinkLost);
}

void _HandleInstrumentMessage(unsigned char first, const unsigned char* bytes, int /*n*/) {
  if (first == kVersionReport) {
    if (_VersionReportRaisesRange(bytes)) {
      g_RangeV4Ch2On = 5.0;
      g_RangeV4Ch2Off = 5.0;
    }
  } else if (first == kNextPacketRequest) {
    if (s_ECGGoing) _SendNextPacket();
  }
}

void _HandleLinkLost() {
  // As if output 0 were applied: the engine sends nothing without a port.
  g_MainOutput = 0;
  if (s_ECGGoing && !_ChangeInProcess) _Change();
  s_ECGGoing = false;
  if (s_LinkLostCB != nullptr) s_LinkLostCB();
}

}  // namespace orna

using namespace orna;

extern "C" {

void OrnaRegisterLinkLostCB(void (*callback)(void)) noexcept {
  ExportLock lock;
  s_LinkLostCB = callback;
}

}  // extern "C"
