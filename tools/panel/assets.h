// The page's files, embedded at build time (see embed.cmake).
#pragma once

#include <cstddef>

namespace orna::panel {

struct Asset {
  const char* name;  // "index.html", "panel.css", "panel.js"
  const unsigned char* data;
  std::size_t size;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

}  // namespace orna::panel
