// Device discovery and identification.
#pragma once

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

}  // namespace orna
