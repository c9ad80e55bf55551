#include <cstdio>

#include "orna.h"
#include "tools.h"

namespace orna::cli {

int RunInfo(bool emulate, const std::string& port, const std::string& serial) {
  auto session = Session::Open(emulate, port, serial);
  if (!session) return kExitNoInstrument;
  auto text = [](const char* s) { return s ? s : "(none)"; };
  std::printf("port:              %s\n", GetUSBPort());
  std::printf("serial number:     %s\n", text(GetSerialNo()));
  std::printf("hardware info:     %s\n", text(GetHWInfo()));
  std::printf("hardware version:  %s\n", text(GetHWVersion()));
  std::printf("firmware version:  %s\n", text(GetFWVersion()));
  std::printf("library version:   %s\n", GetSDKVersion());
  return kExitOk;
}

}  // namespace orna::cli
