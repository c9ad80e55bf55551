// Checks an installed liborna from outside: the header compiles, the library
// links and loads, and it behaves as without an instrument.
#include <orna.h>

#include <cstdio>
#include <cstring>

int main() {
  int failures = 0;
  auto expect = [&](bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "FAILED: %s\n", what), ++failures;
  };
  expect(std::strcmp(GetSDKVersion(), ORNA_VERSION_TEXT) == 0, "library version as in the header");
  expect(SetAmplitude(1.0) == -1, "setters answer -1 with no instrument open");
  expect(SetSpecialWave227(3) == 0 && GetOutputFunc() == OutputFuncIEC227, "IEC selection needs no port");
  expect(SetSpecialWave227(10) == -2, "IEC index outside the table is refused");
  expect(g_RangeV4Ch2Off == 5.0, "range value exported");
  std::printf("%s\n", failures ? "consumer: FAILED" : "consumer: ok");
  return failures ? 1 : 0;
}
