// Identity texts and the small exported functions of the device link: the
// identity getters, GetAD, the library version and the two no-ops.
#include <cstdio>
#include <cstring>

#include "link/identity.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna {

char g_COMString[16];
char* g_SerialNo;
char* g_HWInfo;
char* g_FWVer;
char* g_HWVer;
unsigned char s_DeviceHWInfo[64];

namespace {

// Fixed storage, never freed: a host may keep a pointer it was given for as
// long as it likes. A serial number is at most one 36-byte reply.
char s_SerialNoText[37];
char s_HWInfoText[32];
char s_FWVerText[8];
char s_HWVerText[8];

struct TextSlot {
  char** slot;
  char* buffer;
  std::size_t size;
};
const TextSlot kSlots[] = {{&g_SerialNo, s_SerialNoText, sizeof s_SerialNoText},
                           {&g_HWInfo, s_HWInfoText, sizeof s_HWInfoText},
                           {&g_FWVer, s_FWVerText, sizeof s_FWVerText},
                           {&g_HWVer, s_HWVerText, sizeof s_HWVerText}};

}  // namespace

void _SetIdentityText(char*& slot, const char* text, std::size_t length) {
  for (const TextSlot& s : kSlots) {
    if (s.slot != &slot) continue;
    if (text == nullptr) {
      slot = nullptr;
      return;
    }
    if (length > s.size - 1) length = s.size - 1;
    std::memmove(s.buffer, text, length);
    s.buffer[length] = '\0';
    slot = s.buffer;
    return;
  }
}

IdentityTexts _SaveIdentity() {
  IdentityTexts saved{};
  for (std::size_t i = 0; i < 4; ++i) {
    saved.present[i] = *kSlots[i].slot != nullptr;
    std::memcpy(saved.text[i], kSlots[i].buffer, kSlots[i].size);
  }
  return saved;
}

void _SetIdentityText(IdentityTexts& texts, IdentityText which, const char* text,
                      std::size_t length) {
  texts.present[which] = text != nullptr;
  if (text == nullptr) return;
  const std::size_t size = kSlots[which].size;
  if (length > size - 1) length = size - 1;
  std::memmove(texts.text[which], text, length);
  texts.text[which][length] = '\0';
}

void _CommitIdentity(const IdentityTexts& texts) {
  for (std::size_t i = 0; i < 4; ++i) {
    // Unchanged texts are left alone: a host may be reading them right now.
    if (std::memcmp(kSlots[i].buffer, texts.text[i], kSlots[i].size) != 0) {
      std::memcpy(kSlots[i].buffer, texts.text[i], kSlots[i].size);
    }
    *kSlots[i].slot = texts.present[i] ? kSlots[i].buffer : nullptr;
  }
}

bool _HWInfoBlockValid(const unsigned char block[64]) {
  return block[6] == 'O' && (block[7] == 'R' || block[7] == 'Q');
}

void _FormatHWInfo(const unsigned char block[64], char hwinfo[32], char fwver[8],
                   char hwver[8]) {
  const int n = block[11] * 256 + block[12];
  if (block[10] <= 16) {
    std::snprintf(hwinfo, 32, "W%c%d%02d%03d", block[6], block[10], block[9], n);
  } else {
    std::snprintf(hwinfo, 32, "W%c%c%02d%02d-%d%04d", block[6], block[7], block[8], block[9],
                  block[10], n);
  }
  std::snprintf(fwver, 8, "%d.%d", block[14], block[15]);
  std::snprintf(hwver, 8, "%d.%d", block[13] / 10, block[13] % 10);
}

}  // namespace orna

using namespace orna;

extern "C" {

const char* GetUSBPort(void) noexcept {
  ExportLock lock;
  return g_COMString;
}

const char* GetSerialNo(void) noexcept {
  ExportLock lock;
  return g_SerialNo;
}

const char* GetHWInfo(void) noexcept {
  ExportLock lock;
  return g_HWInfo;
}

const char* GetFWVersion(void) noexcept {
  ExportLock lock;
  return g_FWVer;
}

const char* GetHWVersion(void) noexcept {
  ExportLock lock;
  return g_HWVer;
}

int GetAD(void) noexcept {
  NoCancel no_cancel;
  // A callback on a host thread holds the lock that the receive thread needs
  // to write the request: waiting for it would stall the stream for nothing.
  const bool in_callback = s_lock.HeldHere();
  ADRequest request;
  {
    ExportLock lock;
    if (g_hFile.load() == -1) return 0;
    // A callback on the receive thread: that thread is here, not in a pass.
    if (_OnReceiveThread()) return _ADExchangeHere();
    if (in_callback) return 0;
    if (!_QueueADRequest(&request)) return 0;
  }
  // The receive thread, the only reader of the port, makes the exchange; the
  // wait holds no lock, so every other call and the stream go on meanwhile.
  return _AwaitADReply(&request);
}

const char* GetSDKVersion(void) noexcept {
  ExportLock lock;
  return ORNA_VERSION_TEXT;
}

void SpecifyCOMPort(const char* /*port*/) noexcept { ExportLock lock; }

int TriggerDeviceChanged(void) noexcept {
  ExportLock lock;
  return 0;
}

}  // extern "C"
