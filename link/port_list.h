// Listing the CDC ACM ports of the system (OrnaListPorts).
#pragma once

namespace orna {

// Test hook (not exported from the shared library): reads the device tree
// from `sys_root` (instead of /sys) and the device nodes and their by-id
// links from `dev_root` (instead of /dev). Null restores the default.
void _SetDeviceTreeForTesting(const char* sys_root, const char* dev_root);

}  // namespace orna
