// Identity of the connected instrument: the texts the getters return and how
// a hardware information block becomes them.
#pragma once

#include <cstddef>

namespace orna {

extern char g_COMString[16];
extern char* g_SerialNo;
extern char* g_HWInfo;
extern char* g_FWVer;
extern char* g_HWVer;
extern unsigned char s_DeviceHWInfo[64];

// Sets one of the four identity texts (g_SerialNo, g_HWInfo, g_FWVer,
// g_HWVer) to the first `length` bytes of `text`, cut to its fixed storage;
// null `text` sets it to null. The storage is never freed.
void _SetIdentityText(char*& slot, const char* text, std::size_t length);

// The four identity texts, apart from the ones the getters return: a
// handshake builds them in a copy, and only a successful identification
// commits them, so a rejected try never changes what a host holds.
enum IdentityText { kSerialNoText, kHWInfoText, kFWVerText, kHWVerText };
struct IdentityTexts {
  bool present[4];
  char text[4][37];
};
IdentityTexts _SaveIdentity();
// Sets one text of the copy (cut to what its getter's storage holds); null
// `text` clears it.
void _SetIdentityText(IdentityTexts& texts, IdentityText which, const char* text,
                      std::size_t length);
// With s_lock held: the copy becomes the texts the getters return.
void _CommitIdentity(const IdentityTexts& texts);

// The letters a hardware information block must carry to be accepted.
bool _HWInfoBlockValid(const unsigned char block[64]);

// The three texts of a hardware information block: the hardware information
// string, the firmware version and the hardware version.
void _FormatHWInfo(const unsigned char block[64], char hwinfo[32], char fwver[8],
                   char hwver[8]);

}  // namespace orna
