// Device discovery and identification.
#pragma once

#include <cstddef>

namespace orna {

extern char g_COMString[16];
extern char* g_SerialNo;
extern char* g_HWInfo;
extern char* g_FWVer;
extern char* g_HWVer;
extern unsigned char s_DeviceHWInfo[64];

// The handshake on one path: true when the port is open, configured and holds
// an identified instrument (it then stays open in g_hFile).
bool _COMStringFound(const char* path);

// Test hook (not exported from the shared library): replaces the four
// candidate paths /dev/ttyACM0../dev/ttyACM3. Null entries or a null array
// restore the defaults.
void _SetPortPathsForTesting(const char* const paths[4]);

// Sets one of the four identity texts (g_SerialNo, g_HWInfo, g_FWVer,
// g_HWVer) to the first `length` bytes of `text`, cut to its fixed storage;
// null `text` sets it to null. The storage is never freed.
void _SetIdentityText(char*& slot, const char* text, std::size_t length);

// The four identity texts as they stand: a rejected try puts them back, so
// that only a successful identification changes them.
struct IdentityTexts {
  bool present[4];
  char text[4][37];
};
IdentityTexts _SaveIdentity();
void _RestoreIdentity(const IdentityTexts& saved);

// The letters a hardware information block must carry to be accepted.
bool _HWInfoBlockValid(const unsigned char block[64]);

// The three texts of a hardware information block: the hardware information
// string, the firmware version and the hardware version.
void _FormatHWInfo(const unsigned char block[64], char hwinfo[32], char fwver[8],
                   char hwver[8]);

// Reply handling of the handshake, apart from the port so that each step can
// be judged on its own.
// An identify reply of more than 3 bytes names the instrument: its serial
// number (the text up to the first zero byte) goes to g_SerialNo and the
// result is true. A shorter one is no answer (false, nothing stored).
bool _TakeIdentifyReply(const unsigned char* reply, int n);
// A legacy identify reply of at least 4 bytes beginning "ORN" gives the fixed
// serial number (true); anything else rejects the port (false, nothing stored).
bool _TakeLegacyReply(const unsigned char* reply, int n);
// A hardware information reply of `n` bytes read into `block`: exactly 64
// bytes with the right letters set the three texts (Accepted), 64 with wrong
// letters reject the port and leave them (Rejected), any other count clears
// them (Cleared; the port is still accepted).
enum class HWInfoReply { Accepted, Rejected, Cleared };
HWInfoReply _TakeHWInfoReply(const unsigned char block[64], int n);

}  // namespace orna
