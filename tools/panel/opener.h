// Starting the desktop's browser on the panel's address.
#pragma once

#include <string>

namespace orna::panel {

// Starts xdg-open on `url` with no signal blocked and the default dispositions
// (the panel blocks its stop signals), and reaps it on a thread of its own, so
// nothing of the panel waits for it. False when it cannot be started.
bool OpenInBrowser(const std::string& url);

}  // namespace orna::panel
