// `orna panel`: a local web page that drives the instrument and charts what it plays.
#pragma once

#include <string>

namespace orna::panel {

struct PanelOptions {
  bool emulate = false;
  std::string port, serial;
  std::string listen = "127.0.0.1:8370";
  bool open = false;
  std::string monitor_hl7;  // [ADDRESS:]PORT: show what a monitor reports over HL7
};

int RunPanel(const PanelOptions& options);

}  // namespace orna::panel
