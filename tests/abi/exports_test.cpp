// The shared library exports exactly the public functions and the two range
// variables, with C names, and carries the right soname.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "orna.h"

extern "C" int orna_c_client_check(void);

namespace {

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Names listed in the global part of the linker's version script.
std::set<std::string> ExpectedExports() {
  std::ifstream in(ORNA_EXPORTS_LIST);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  text = text.substr(0, text.find("local:"));
  text = text.substr(text.find("global:") + 7);
  std::set<std::string> names;
  std::istringstream words(text);
  std::string word;
  while (words >> word)
    if (word.size() > 1 && word.back() == ';') names.insert(word.substr(0, word.size() - 1));
  return names;
}

TEST(Exports, ExactlyThePublicSurface) {
  std::set<std::string> expected = ExpectedExports();
  ASSERT_EQ(expected.size(), 81u);  // 72 legacy functions, 2 variables, 7 extension functions
  for (const char* name : {"OrnaListPorts", "OrnaOpenPort", "OrnaGetLinkStatus",
                           "OrnaRegisterLinkLostCB", "OrnaResultText", "OrnaLastErrorText",
                           "OrnaLoadECGSamples"})
    EXPECT_TRUE(expected.count(name)) << name;
  std::string out = RunCommand(std::string("nm -D --defined-only ") + ORNA_SHARED_LIBRARY);
  std::set<std::string> functions, data;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string addr, type, sym;
    if (!(f >> addr >> type >> sym)) continue;
    if (type == "T") functions.insert(sym);
    else if (type == "D" || type == "B") data.insert(sym);
    else if (type == "A") continue;  // version nodes
    else ADD_FAILURE() << "unexpected exported symbol " << sym << " of type " << type;
  }
  EXPECT_EQ(data, (std::set<std::string>{"g_RangeV4Ch2On", "g_RangeV4Ch2Off"}));
  std::set<std::string> exported = functions;
  exported.insert(data.begin(), data.end());
  for (const auto& s : expected) EXPECT_TRUE(exported.count(s)) << "missing: " << s;
  for (const auto& s : exported) EXPECT_TRUE(expected.count(s)) << "extra: " << s;
}

TEST(Exports, SonameAndHiddenInternals) {
  std::string out = RunCommand(std::string("objdump -p ") + ORNA_SHARED_LIBRARY);
  EXPECT_NE(out.find("SONAME               liborna.so.5"), std::string::npos) << out;
  std::string all = RunCommand(std::string("nm -D ") + ORNA_SHARED_LIBRARY);
  EXPECT_EQ(all.find("_SendNextPacket"), std::string::npos);
  EXPECT_EQ(all.find("_SetPortPathsForTesting"), std::string::npos);
  EXPECT_EQ(all.find("_SetDeviceTreeForTesting"), std::string::npos);
}

TEST(Exports, HeaderWorksFromC) { EXPECT_EQ(orna_c_client_check(), 0); }

}  // namespace
