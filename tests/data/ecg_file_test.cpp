// Loading waveforms from files (LoadECGtxt, LoadECGbin) and playing them back
// (_ECGFileValue). Every TEST runs in its own process: nothing loaded at start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "data/ecg_file.h"
#include "support/files.h"
#include "link/lock.h"
#include "orna.h"

using namespace orna;
using orna::test::ScratchDir;
using orna::test::U16;
using Samples = std::vector<double>;

namespace {

int LoadTxt(const std::string& path) { return LoadECGtxt(U16(path).c_str()); }
int LoadBin(const std::string& path) { return LoadECGbin(U16(path).c_str()); }

Samples Loaded() { return ECGFile ? Samples(ECGFile, ECGFile + ECGFileSize) : Samples{}; }

// A known state (100 samples/s: 111, 222) that failed loads must leave alone.
void LoadReference(const ScratchDir& dir) {
  ASSERT_EQ(LoadTxt(dir.Write("ref.txt", "100\n2\n111\n222\n")), 2);
  ASSERT_EQ(Loaded(), (Samples{111, 222}));
}

}  // namespace

TEST(LoadECGtxt, ClampsStopsAfterTheCountAndPlaysBack) {
  ScratchDir dir;
  EXPECT_EQ(LoadTxt(dir.Write("a.txt", "1000\n3\n10\n-7000\n5000.5\n99\n")), 3);
  EXPECT_EQ(ECGFileFreq, 1000.0);
  EXPECT_EQ(Loaded(), (Samples{10, -5000, 5000}));
  EXPECT_EQ(_ECGFileValue(0.0009), 0.01);
  EXPECT_EQ(_ECGFileValue(0.0015), -5.0);
  EXPECT_EQ(_ECGFileValue(0.0025), 5.0);
  // Rounding that carries the index to ECGFileSize (the period is 0.003 s), or
  // beyond, plays the last sample; a negative or NaN phase the first.
  for (double h : {0.003, 3.0, 1e300}) EXPECT_EQ(_ECGFileValue(h), 5.0) << h;
  for (double h : {-0.0005, -7.0, std::nan("")}) EXPECT_EQ(_ECGFileValue(h), 0.01) << h;

  // The bounds pass unchanged, anything beyond them (infinities too) is cut;
  // a non-integer rate indexes with trunc(h * rate).
  EXPECT_EQ(LoadTxt(dir.Write("b.txt", "2.5\n7\n5000\n-5000\n5000.000001\n-5000.000001\ninf\n-inf\n-4999.5\n")), 7);
  EXPECT_EQ(Loaded(), (Samples{5000, -5000, 5000, -5000, 5000, -5000, -4999.5}));
  EXPECT_EQ(_ECGFileValue(0.39), 5.0);
  EXPECT_EQ(_ECGFileValue(0.41), -5.0);
  EXPECT_EQ(_ECGFileValue(2.41), -4.9995);
}

TEST(LoadECGtxt, EarlyEndKeepsTheSamplesReadAndPlaysOnlyThem) {
  ScratchDir dir;
  EXPECT_EQ(LoadTxt(dir.Write("a.txt", "500\n4\n1\n2\n")), 2);
  EXPECT_EQ(Loaded(), (Samples{1, 2}));
  EXPECT_GE(malloc_usable_size(ECGFile), 4 * sizeof(double));  // room for four
  EXPECT_EQ(_ECGFileValue(0.0), 0.001);
  EXPECT_EQ(_ECGFileValue(0.0041), 0.002);  // index 2: not an unwritten slot
  EXPECT_EQ(_ECGFileValue(0.0061), 0.002);

  EXPECT_EQ(LoadTxt(dir.Write("b.txt", "500\n4\n")), 0);  // no sample line at all
  EXPECT_NE(ECGFile, nullptr);
  EXPECT_EQ(ECGFileSize, 0);
  EXPECT_EQ(_ECGFileValue(0.0), 0.0);
}

TEST(LoadECGtxt, LinesWithoutNumbersTrailingTextAndLongLines) {
  ScratchDir dir;
  // Leading blanks and trailing text are allowed; a sample line without a
  // number (empty, blank, letters, "nan") is a sample of 0.
  EXPECT_EQ(LoadTxt(dir.Write("a.txt", "  2.5e2 Hz\n 6 samples\n7\n\n   \nabc\n-12.25mV\r\nnan\n8\n")), 6);
  EXPECT_EQ(ECGFileFreq, 250.0);
  EXPECT_EQ(Loaded(), (Samples{7, 0, 0, 0, -12.25, 0}));

  // Lines are read 127 characters at a time and every piece counts as a line:
  // the rest of the rate line becomes the count, the rest of a sample line the
  // next sample, and the end of a line of exactly 127 characters a sample of 0.
  const std::string rate = "1000" + std::string(123, ' '), sample = "100" + std::string(124, ' ');
  ASSERT_EQ(rate.size() + sample.size(), 254u);
  EXPECT_EQ(LoadTxt(dir.Write("b.txt", rate + "4\n" + sample + "200\n" + sample + "\n400\n500\n")), 4);
  EXPECT_EQ(ECGFileFreq, 1000.0);
  EXPECT_EQ(Loaded(), (Samples{100, 200, 100, 0}));
}

TEST(LoadECGtxt, BadRateOrCountLineKeepsTheSamples) {
  ScratchDir dir;
  LoadReference(dir);
  double* const before = ECGFile;
  // Rate 0 or no number, and (mended) anything not a positive finite rate:
  // -2 with the rate set to 0.
  for (const char* rate : {"0\n", "abc\n", "\n", "-1000\n", "nan\n", "inf\n", "1e999\n"}) {
    ECGFileFreq = 100.0;
    EXPECT_EQ(LoadTxt(dir.Write("r.txt", std::string(rate) + "3\n1\n2\n3\n")), -2) << rate;
    EXPECT_EQ(ECGFileFreq, 0.0) << rate;
  }
  ECGFileFreq = 100.0;
  EXPECT_EQ(LoadTxt(dir.Write("e.txt", "")), -2);  // no line 1: the rate stays
  EXPECT_EQ(ECGFileFreq, 100.0);
  EXPECT_EQ(LoadTxt(dir.path()), -1);  // a directory is not a file to read

  // Count 0, no number (hex is not base 10) or no line 2: -3, the rate is taken.
  for (const char* count : {"0\n", "xyz\n", "0x10\n", ""}) {
    EXPECT_EQ(LoadTxt(dir.Write("c.txt", std::string("250\n") + count)), -3) << count;
    EXPECT_EQ(ECGFileFreq, 250.0) << count;
    ECGFileFreq = 1.0;
  }
  EXPECT_EQ(ECGFile, before);
  EXPECT_EQ(Loaded(), (Samples{111, 222}));
}

TEST(LoadECGtxt, NoRoomForTheCountReleasesThePreviousSamples) {
  ScratchDir dir;
  // A negative count, and (decided) counts beyond the 32-bit range, which are
  // not wrapped into a small count (4294967297 would become 1).
  for (const char* count : {"-5\n", "-2147483648\n", "2147483648\n", "4294967297\n", "99999999999999999999\n"}) {
    LoadReference(dir);
    EXPECT_EQ(LoadTxt(dir.Write("n.txt", std::string("125\n") + count + "1\n2\n")), -4) << count;
    EXPECT_EQ(ECGFile, nullptr) << count;
    EXPECT_EQ(ECGFileFreq, 125.0) << count;
    EXPECT_EQ(_ECGFileValue(0.0), 0.0) << count;
    EXPECT_EQ(_ECGFileValue(0.01), 0.0) << count;
  }
  EXPECT_EQ(LoadTxt(dir.Write("g.txt", "10\n1\n42\n")), 1);
  EXPECT_EQ(Loaded(), (Samples{42}));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// (Sanitizer runtimes reserve huge shadow mappings, so no address-space limit there.)
TEST(LoadECGtxt, FailedAllocationGivesMinus4) {
  ScratchDir dir;
  LoadReference(dir);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  rlimit low = old;
  low.rlim_cur = 4ull << 30;  // 2 000 000 000 samples need 16 GB
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max < low.rlim_cur) low.rlim_cur = old.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
  const int r = LoadTxt(dir.Write("big.txt", "1000\n2000000000\n1\n2\n"));
  setrlimit(RLIMIT_AS, &old);
  EXPECT_EQ(r, -4);
  EXPECT_EQ(ECGFile, nullptr);
  EXPECT_EQ(ECGFileFreq, 1000.0);
  EXPECT_EQ(_ECGFileValue(0.0), 0.0);
}
#endif

TEST(LoadECGtxt, PathsMissingNullOverlongAndHighBytes) {
  ScratchDir dir;
  LoadReference(dir);
  EXPECT_EQ(LoadTxt(dir.path() + "/missing.txt"), -1);
  EXPECT_EQ(LoadBin(dir.path() + "/missing.bin"), -1);
  EXPECT_EQ(LoadECGtxt(nullptr), -1);
  EXPECT_EQ(LoadECGbin(nullptr), -1);

  // A file whose full path has exactly 511 characters.
  std::string path = dir.path();
  for (const std::string sub = "/" + std::string(200, 'd'); path.size() + sub.size() < 511; path += sub)
    ASSERT_EQ(mkdir((path + sub).c_str(), 0700), 0);
  path += "/" + std::string(510 - path.size(), 'f');
  ASSERT_EQ(path.size(), 511u);
  dir.Write(path.substr(dir.path().size() + 1), "75\n1\n33\n");
  // One character more is refused, though cutting it off would name that file.
  EXPECT_EQ(LoadTxt(path + "x"), -1);
  EXPECT_EQ(LoadBin(path + "x"), -1);
  EXPECT_EQ(LoadTxt(path + std::string(1000, 'x')), -1);
  EXPECT_EQ(ECGFileFreq, 100.0);
  EXPECT_EQ(Loaded(), (Samples{111, 222}));
  EXPECT_EQ(LoadTxt(path), 1);
  EXPECT_EQ(Loaded(), (Samples{33}));

  // Names are UTF-8: no character is cut to its low byte (U+0100 would end
  // the path, U+012F would be '/').
  dir.Write("w", "40\n1\n-77\n");
  dir.Write("A.txt", "40\n1\n-77\n");
  dir.Write("w\xC4\x80x", "41\n1\n-1\n");
  dir.Write("\xC5\xA1.txt", "42\n1\n-2\n");
  dir.Write("\xF0\x9F\x98\x80", "43\n1\n-3\n");
  dir.Write("\xC3\xA9", "44\n1\n-4\n");
  const std::u16string base = U16(dir.path() + "/");
  const struct {
    std::u16string name;
    double rate;
  } named[] = {{base + u"w\u0100x", 41}, {base + u"\u0161.txt", 42}, {base + u"\U0001F600", 43}, {base + u"\u00E9", 44}};
  for (const auto& n : named) {
    EXPECT_EQ(LoadECGtxt(n.name.c_str()), 1) << n.rate;
    EXPECT_EQ(ECGFileFreq, n.rate);
    EXPECT_EQ(LoadECGbin(n.name.c_str()), -3) << n.rate;
  }
  EXPECT_EQ(LoadECGtxt((base + u"\u0141.txt").c_str()), -1);
  EXPECT_EQ(LoadECGtxt((base + u"w\u012Fx").c_str()), -1);
  // An unpaired surrogate names no file.
  for (const std::u16string& bad : {base + char16_t(0xD83D), base + char16_t(0xDE00) + u"x", base + char16_t(0xD83D) + u"x"}) {
    EXPECT_EQ(LoadECGtxt(bad.c_str()), -1);
    EXPECT_EQ(LoadECGbin(bad.c_str()), -1);
  }
  EXPECT_EQ(Loaded(), (Samples{-4}));
}

TEST(ECGFileLoaders, RefuseWhatIsNotARegularFileWithoutBlocking) {
  ScratchDir dir;
  LoadReference(dir);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.path(), std::string("/dev/null")}) {
    for (int which = 0; which < 2; ++which) {
      std::atomic<int> result{1};
      std::thread t([&] { result = which == 0 ? LoadTxt(path) : LoadBin(path); });
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      // Meanwhile the library stays usable.
      bool locked = false;
      while (!(locked = s_lock.try_lock()) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_TRUE(locked) << path << " held the library's lock";
      if (locked) s_lock.unlock();
      while (result.load() == 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (result.load() == 1) {
        ADD_FAILURE() << path << " blocked the loader";
        // A writer that comes and goes releases an open that waits for one.
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
      }
      t.join();
      EXPECT_EQ(result.load(), -1) << path << " " << which;
    }
  }
  EXPECT_EQ(ECGFileFreq, 100.0);
  EXPECT_EQ(Loaded(), (Samples{111, 222}));
}

TEST(LoadECGtxt, NumbersUseADecimalPointWhateverTheHostLocale) {
  ScratchDir dir;
  const std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir.path() + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "cannot build a decimal-comma locale here";
  setenv("LOCPATH", dir.path().c_str(), 1);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "decimal-comma locale not usable";
  ASSERT_EQ(std::strtod("0.5", nullptr), 0.0);  // the host's own parsing stops at '.'

  EXPECT_EQ(LoadTxt(dir.Write("a.txt", "2.5\n2\n12.75\n-0.25\n")), 2);
  EXPECT_EQ(ECGFileFreq, 2.5);
  EXPECT_EQ(Loaded(), (Samples{12.75, -0.25}));
  EXPECT_EQ(std::strtod("0,5", nullptr), 0.5);  // the host's locale is back
  std::setlocale(LC_ALL, "C");
}

TEST(LoadECGbin, ReadsOnlyTheBigEndianRate) {
  ScratchDir dir;
  LoadReference(dir);
  double* const before = ECGFile;
  EXPECT_EQ(LoadBin(dir.Write("a.bin", std::string("\x01\xF4\x00\x00\x00\x00more", 10))), -3);
  EXPECT_EQ(ECGFileFreq, 500.0);
  EXPECT_EQ(LoadBin(dir.Write("b.bin", std::string("\x80\x01", 2))), -3);  // the 4 bytes need not be there
  EXPECT_EQ(ECGFileFreq, 32769.0);
  EXPECT_EQ(LoadBin(dir.Write("c.bin", std::string("\xFF\xFF\x01", 3))), -3);
  EXPECT_EQ(ECGFileFreq, 65535.0);
  EXPECT_EQ(LoadBin(dir.Write("one.bin", std::string("\x01", 1))), -2);  // no rate: unchanged
  EXPECT_EQ(LoadBin(dir.Write("empty.bin", "")), -2);
  EXPECT_EQ(ECGFileFreq, 65535.0);
  EXPECT_EQ(LoadBin(dir.Write("zero.bin", std::string("\x00\x00\x01\xF4\x00\x00", 6))), -2);
  EXPECT_EQ(ECGFileFreq, 0.0);  // a zero rate is stored
  EXPECT_EQ(ECGFile, before);
  EXPECT_EQ(Loaded(), (Samples{111, 222}));
}

TEST(ECGFileValue, NothingLoadedPlaysZero) {
  EXPECT_EQ(ECGFile, nullptr);
  EXPECT_EQ(ECGFileSize, 0);
  EXPECT_EQ(ECGFileFreq, 0.0);
  for (double h : {0.0, 0.5, -1.0, std::nan("")}) EXPECT_EQ(_ECGFileValue(h), 0.0) << h;
}

TEST(ECGFileLoaders, InstallWhatTheyReadUnderTheLibraryLock) {
  ScratchDir dir;
  const std::string txt = dir.Write("a.txt", "100\n1\n5\n"), bin = dir.Write("a.bin", std::string("\x00\x64", 2));
  for (int which = 0; which < 2; ++which) {
    std::atomic<bool> done{false};
    std::atomic<int> result{0};
    s_lock.lock();  // as the receive thread does while it builds a packet
    std::thread t([&] {
      result = which == 0 ? LoadTxt(txt) : LoadBin(bin);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load()) << "loader " << which << " ran while the lock was held";
    s_lock.unlock();
    t.join();
    EXPECT_EQ(result.load(), which == 0 ? 1 : -3);
  }
  EXPECT_EQ(ECGFileFreq, 100.0);
}

TEST(OrnaLoadECGSamples, TheTextLoadersResultsAndStateFromMemory) {
  ScratchDir dir;
  LoadReference(dir);
  const double wave[] = {10, -7000, 5000.5, std::nan(""), -4999.5};
  EXPECT_EQ(OrnaLoadECGSamples(wave, 5, 1000.0), 5);
  EXPECT_EQ(ECGFileFreq, 1000.0);
  EXPECT_EQ(Loaded(), (Samples{10, -5000, 5000, 0, -4999.5}));
  EXPECT_EQ(_ECGFileValue(0.0015), -5.0);

  // Refusals in the text loader's order, with its effect on the state.
  EXPECT_EQ(OrnaLoadECGSamples(wave, 2, std::nan("")), -2);
  EXPECT_EQ(ECGFileFreq, 0.0);
  EXPECT_EQ(OrnaLoadECGSamples(wave, 0, 250.0), -3);
  EXPECT_EQ(ECGFileFreq, 250.0);
  EXPECT_EQ(OrnaLoadECGSamples(nullptr, 3, 250.0), -1);
  EXPECT_EQ(Loaded(), (Samples{10, -5000, 5000, 0, -4999.5}));
  EXPECT_EQ(OrnaLoadECGSamples(wave, -1, 250.0), -4);
  EXPECT_EQ(ECGFile, nullptr);
  EXPECT_STREQ(OrnaResultText("OrnaLoadECGSamples", -3), "the sample count is 0");
}
