// TEMPORARY placeholders so the tree links while the device link is written.
#include <cstdint>
#include "link/discovery.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"
namespace orna {
std::atomic<int> g_hFile{-1};
bool _OpenPort(const char*) { return false; }
void _ClosePort() {}
int _ReadCOMPort(int, unsigned char*) { return 0; }
int _WriteCOMPort(int, const unsigned char*, bool) { return -1; }
void _WakeReaders() {}
int _EncodeRelayCommand(std::uint32_t, unsigned char*) { return 6; }
int _EncodeRangeCommand(double, unsigned char*) { return 2; }
int _DCOffsetCode(int) { return 2048; }
int _EncodeDCOffsetCommand(int, unsigned char*) { return 3; }
void _SendRelayCommand(std::uint32_t) {}
void _SendRangeCommand(double) {}
void _SendDCOffsetCommand(int) {}
void _SendBaselineResetCommand() {}
void _SendOffsetClearCommand() {}
void _SendStopCommand() {}
void _SendCloseCommand() {}
int _ScanADReply(const unsigned char*, int) { return 0; }
bool _VersionReportRaisesRange(const unsigned char*) { return false; }
char g_COMString[16];
char* g_SerialNo;
char* g_HWInfo;
char* g_FWVer;
char* g_HWVer;
unsigned char s_DeviceHWInfo[64];
bool _COMStringFound(const char*) { return false; }
void _SetPortPathsForTesting(const char* const*) {}
void _StartReceiveThread() {}
void _StopReceiveThread() {}
bool _OnReceiveThread() { return false; }
}  // namespace orna
extern "C" {
int InitORNA(void) { return 0; }
const char* GetUSBPort(void) { return orna::g_COMString; }
const char* GetSerialNo(void) { return nullptr; }
const char* GetHWInfo(void) { return nullptr; }
const char* GetFWVersion(void) { return nullptr; }
const char* GetHWVersion(void) { return nullptr; }
int GetAD(void) { return 0; }
const char* GetSDKVersion(void) { return "5.9.1"; }
void SpecifyCOMPort(const char*) {}
int TriggerDeviceChanged(void) { return 0; }
}
