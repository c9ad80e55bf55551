// The files of `orna run` against the virtual instrument: inputs that are not
// small regular files, outputs that cannot take a report (refused before a
// step is played, and left as they were), and reports that survive a write
// that fails half way.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "run/run.h"
#include "support/files.h"

namespace orna::cli::run {
namespace {

using nlohmann::json;
using test::ScratchDir;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// Runs and returns the exit code, with what went to the terminal's error stream.
int RunCaptured(const RunOptions& o, std::string* err) {
  testing::internal::CaptureStderr();
  const int code = RunSequence(o);
  *err = testing::internal::GetCapturedStderr();
  return code;
}

const char* kOneStep = "title = \"t\"\n[[step]]\nname = \"one\"\nfunction = \"sine\"\nduration = 0.5\n"
                       "prompt = \"p\"\n";

TEST(RunFiles, InputsMustBeSmallRegularFiles) {
  ScratchDir dir;
  RunOptions o;
  o.file = dir.Write("s.toml", kOneStep);
  o.emulate = true;
  std::string err;
  o.answers = "/dev/zero";
  EXPECT_EQ(RunCaptured(o, &err), kExitUsage);
  EXPECT_EQ(err, "orna: cannot take answers from /dev/zero: it is not a regular file (a device, FIFO or socket)\n");
  o.answers = dir.path();
  EXPECT_EQ(RunCaptured(o, &err), kExitUsage);
  EXPECT_EQ(err, "orna: cannot take answers from " + dir.path() + ": it is a folder\n");
  o.answers = dir.Write("long.answers", "# fine\n60\n" + std::string(1001, '6') + "\n");
  EXPECT_EQ(RunCaptured(o, &err), kExitUsage);
  EXPECT_EQ(err, "orna: cannot take answers from " + o.answers + ": line 3 is longer than 1000 bytes\n");
  o.answers = dir.Write("big.answers", std::string(1024 * 1024 + 1, '\n'));
  EXPECT_EQ(RunCaptured(o, &err), kExitUsage);
  EXPECT_EQ(err, "orna: cannot take answers from " + o.answers + ": it is larger than 1024 KiB\n");
  o.answers.clear();
  o.file = "/dev/zero";
  EXPECT_EQ(RunCaptured(o, &err), kExitUsage);
  EXPECT_EQ(err.substr(0, err.find('\n')),
            "/dev/zero: cannot read the file: it is not a regular file (a device, FIFO or socket)");
}

TEST(RunFiles, OutputsThatCannotTakeAReportAreRefusedBeforePlayingAndLeftAlone) {
  ScratchDir dir;
  RunOptions o;
  o.file = dir.Write("s.toml", kOneStep);
  o.answers = dir.Write("s.answers", "60\n");
  o.emulate = true;
  ASSERT_EQ(symlink((dir / "gone/r.html").c_str(), (dir / "dangling.html").c_str()), 0);
  ASSERT_EQ(symlink((dir / "missing.html").c_str(), (dir / "dangling2.html").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  const std::set<std::string> before = Entries(dir.path());
  const std::pair<std::string, std::string> refused[] = {
      {dir / "dangling.html", "it is a symbolic link to nothing"},
      {dir / "dangling2.html", "it is a symbolic link to nothing"},
      {dir / "fifo.json", "it is not a regular file (a device, FIFO or socket)"},
      {"/dev/full", "it is not a regular file (a device, FIFO or socket)"},
      {dir.path(), "it is a folder"},
      {dir / "no/such/folder.json", "cannot create files in " + dir / "no/such: No such file or directory"},
  };
  for (const auto& [path, why] : refused) {
    for (std::string RunOptions::*field : {&RunOptions::report, &RunOptions::json, &RunOptions::record}) {
      RunOptions x = o;
      x.*field = path;
      std::string err;
      EXPECT_EQ(RunCaptured(x, &err), kExitIo) << path;
      EXPECT_EQ(err, "orna: cannot write " + path + ": " + why + "\n");
    }
  }
  EXPECT_EQ(Entries(dir.path()), before);

  // A link to a report is written through: the link stays, the file it names gets the report.
  std::ofstream(dir / "old.json") << "{}";
  ASSERT_EQ(symlink("old.json", (dir / "link.json").c_str()), 0);
  o.json = dir / "link.json";
  std::string err;
  ASSERT_EQ(RunCaptured(o, &err), 0) << err;
  struct stat st {};
  ASSERT_EQ(lstat(o.json.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(json::parse(Read(dir / "old.json"))["steps"].size(), 1u);
}

TEST(RunFiles, AFullDiskKeepsTheLastGoodReports) {
  ScratchDir dir;
  RunOptions o;
  o.file = dir.Write("ten.toml", "title = \"ten\"\n[[step]]\nname = \"{n}\"\nrepeat = { n = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10] }\n"
                                 "function = \"sine\"\nduration = 0.5\nprompt = \"p\"\n");
  o.emulate = true;
  o.json = dir / "r.json";
  o.report = dir / "r.html";
  o.answers = dir.Write("six.answers", "1\n2\n3\n4\n5\n6\n");
  std::string err;
  ASSERT_EQ(RunCaptured(o, &err), kExitIncomplete) << err;
  const std::string json6 = Read(o.json), html6 = Read(o.report);
  ASSERT_EQ(json::parse(json6)["steps"].size(), 6u);

  // The disk fills up at the seventh step: no file may grow past what is there now.
  RunOptions r = o;
  r.resume = o.json;
  r.answers = dir.Write("all.answers", "7\n8\n9\n10\n");
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{}, full{json6.size() + 100, RLIM_INFINITY};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  full.rlim_max = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const int code = RunCaptured(r, &err);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_EQ(code, kExitIo) << err;
  EXPECT_NE(err.find("orna: cannot write " + o.json + " (File too large); it keeps the report written before\n"),
            std::string::npos) << err;
  EXPECT_EQ(Read(o.json), json6);
  EXPECT_EQ(Read(o.report), html6);
  EXPECT_EQ(Entries(dir.path()),
            (std::set<std::string>{"ten.toml", "six.answers", "all.answers", "r.json", "r.html", "r.strips"}));

  // With room again the run carries on from the sixth step.
  ASSERT_EQ(RunCaptured(r, &err), 0) << err;
  EXPECT_EQ(json::parse(Read(o.json))["steps"].size(), 10u);
}

}  // namespace
}  // namespace orna::cli::run
