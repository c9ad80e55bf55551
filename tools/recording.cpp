#include <cstdio>

#include "tools.h"

namespace orna::cli {

bool WriteCsv(const std::string& path, const std::vector<Point>& points) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "time_s,value_mV,high_range\n");
  for (const auto& p : points) std::fprintf(f, "%.4f,%.6f,%d\n", p.t, p.mV, p.high_range ? 1 : 0);
  return std::fclose(f) == 0;
}

}  // namespace orna::cli
