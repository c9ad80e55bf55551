// The record `orna run` leaves for a test lab: who tested what and when,
// where each reading came from, and the mark of a run on the virtual
// instrument, read back from the JSON, the HTML and the PDF (as poppler reads it).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "run/run.h"
#include "support/files.h"

namespace orna::cli::run {
namespace {

using nlohmann::json;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every text a sequence file can carry holds markup.
constexpr const char* kMarkup = R"(title = "T <b>&"
source = "S <b>&"
[device]
manufacturer = "Maker <b>&"
model = "Model <b>&"
notes = "Notes <b>&"
[[step]]
name = "hr <b>&"
function = "ecg"
settings = { bpm = 60 }
duration = 2
prompt = "HR <b>&"
expect = { value = 60, tolerance = 5 }
[[step]]
name = "attach <b>&"
instruction = "do <b>&"
[[step]]
name = "shown"
prompt = "value"
)";

TEST(RunReport, NamesWhoWhatWhenAndWhereEachReadingCameFrom) {
  test::ScratchDir dir;
  dir.Write("s.toml", kMarkup);
  RunOptions o;
  o.file = dir.path() + "/./s.toml";  // the report names it by its absolute path
  o.emulate = true;
  o.answers = dir.Write("a", "61\n7.5\n");
  o.device = {"model=M <b>&", "serial=S\u00c9R-1"};
  o.operator_name = "Op <b>&";
  o.json = dir / "r.json";
  o.report = dir / "r.html";
  ASSERT_EQ(RunSequence(o), 0);
  const json j = json::parse(Read(o.json));
  EXPECT_EQ(j["device"], (json{{"manufacturer", "Maker <b>&"}, {"model", "M <b>&"}, {"notes", "Notes <b>&"},
                               {"serial", "S\u00c9R-1"}}));
  EXPECT_EQ(j["file"], dir / "s.toml");
  EXPECT_EQ(j["answers"], (json{{"file", o.answers}, {"checksum", "sha256:" + Sha256Hex("61\n7.5\n")}}));
  EXPECT_TRUE(j["instrument"]["virtual"].get<bool>());
  EXPECT_FALSE(j["tool_version"].get<std::string>().empty());
  const json& s = j["steps"];
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0]["source"], "answers");
  EXPECT_EQ(s[0]["measured"]["source"], "measured");
  EXPECT_EQ(s[1]["verdict"], "done");  // an answers file does not confirm an instruction
  EXPECT_FALSE(s[1].contains("source"));
  EXPECT_EQ(s[2]["verdict"], "disclosed");
  EXPECT_EQ(j["summary"], (json{{"pass", 1}, {"fail", 0}, {"disclosed", 1}, {"skipped", 0}}));
  const auto iso = testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}");
  std::string last = j["started"];
  for (const json& t : {s[0]["started"], s[0]["ended"], s[1]["started"], s[2]["ended"], j["ended"]}) {
    EXPECT_THAT(t.get<std::string>(), iso);
    EXPECT_LE(last, t.get<std::string>());
    last = t;
  }
  const std::string html = Read(o.report);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  for (const char* text : {"<title>T &lt;b&gt;&amp;", "S &lt;b&gt;&amp;", "Maker &lt;b&gt;&amp;", "M &lt;b&gt;&amp;",
                           "Notes &lt;b&gt;&amp;", "hr &lt;b&gt;&amp;", "HR &lt;b&gt;&amp;", "do &lt;b&gt;&amp;",
                           "Op &lt;b&gt;&amp;", "61 (answers)", "class=\"watermark\"", kVirtualMark})
    EXPECT_NE(html.find(text), std::string::npos) << text;

#ifdef ORNA_CLI
  // At the terminal: readings typed, the instruction confirmed when Enter was pressed.
  ASSERT_EQ(Shell("printf '61\\n\\n7\\n' | " ORNA_CLI " run --emulate --json " + o.json + " " + o.file +
                  " >/dev/null 2>&1"),
            0);
  const json typed = json::parse(Read(o.json));
  EXPECT_EQ(typed["steps"][0]["source"], "typed");
  EXPECT_EQ(typed["steps"][1]["source"], "typed");
  EXPECT_THAT(typed["steps"][1]["confirmed"].get<std::string>(), iso);
  EXPECT_FALSE(typed.contains("answers"));
#endif
}

TEST(RunReport, PdfReadsBackWithTheDeviceEveryVerdictTheMarkAndPageNumbers) {
  if (Shell("command -v pdftotext >/dev/null && command -v pdftoppm >/dev/null") != 0)
    GTEST_SKIP() << "pdftotext and pdftoppm (poppler-utils) are not installed";
  test::ScratchDir dir;
  RunOptions o;
  o.file = dir.Write("s.toml", R"(title = "Verdicts"
[device]
serial = "MON-\u00c5\u00df-7"
[[step]]
name = "paced"
function = "ecg"
settings = { frequency = 1.0, pacing_amplitude = 5, pacing_rate = 120 }
duration = 6
prompt = "HR"
expect = { value = 60, tolerance = 5 }
[[step]]
name = "wrong"
duration = 1
prompt = "HR"
expect = { value = 60, tolerance = 5 }
[[step]]
name = "told"
prompt = "QRS"
duration = 1
[[step]]
name = "passed over"
prompt = "HR"
duration = 1
expect = { min = 1 }
[[step]]
name = "attach"
instruction = "Attach the leads"
)");
  o.emulate = true;
  o.answers = dir.Write("a", "60\n90\n80\nskip\n");
  o.json = dir / "r.json";
  o.pdf = dir / "r.pdf";
  ASSERT_EQ(RunSequence(o), kExitFailed);
  ASSERT_EQ(Shell("pdftotext -enc UTF-8 " + o.pdf + " " + dir / "all.txt"), 0);
  const std::string all = Read(dir / "all.txt");
  EXPECT_NE(all.find("MON-\u00c5\u00df-7"), std::string::npos) << all;
  for (const char* verdict : {"pass", "fail", "disclosed", "skipped", "done at "})
    EXPECT_NE(all.find(std::string("\n") + verdict), std::string::npos) << verdict;
  const std::size_t of = all.find("Page 1 of ");
  ASSERT_NE(of, std::string::npos) << all;
  const int pages = std::atoi(all.c_str() + of + 10);
  EXPECT_GE(pages, 2);
  for (int p = 1; p <= pages; ++p) {
    const std::string txt = dir / ("p" + std::to_string(p) + ".txt"), n = std::to_string(p);
    ASSERT_EQ(Shell("pdftotext -enc UTF-8 -f " + n + " -l " + n + " " + o.pdf + " " + txt), 0);
    const std::string page = Read(txt);
    EXPECT_NE(page.find("Page " + n + " of " + std::to_string(pages)), std::string::npos) << p;
    EXPECT_NE(page.find(kVirtualMark), std::string::npos) << p;
  }
  EXPECT_EQ(Shell("pdftoppm -r 50 -f 1 -l 1 -png " + o.pdf + " " + dir / "page"), 0);
  EXPECT_EQ(Read(dir / ("page-" + std::string(pages >= 10 ? "01" : "1") + ".png")).substr(1, 3), "PNG");
  // The strip kept beside the report marks every pacing pulse of its last 5 s: 10 at 120 a minute.
  const json strip = json::parse(Read(dir / "r.strips/step-1.json"));
  EXPECT_GE(strip["pulses"].size(), 9u);
  EXPECT_LE(strip["pulses"].size(), 10u);
}

}  // namespace
}  // namespace orna::cli::run
