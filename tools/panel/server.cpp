// The panel's HTTP server: the embedded page, a JSON API under /api and the
// live stream as Server-Sent Events. It drives hardware wired to a patient
// monitor, so every request must carry the start's random token and come from
// this server's own page: a foreign Host (DNS rebinding) or Origin (another
// site in the same browser) is refused before any handler runs.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "assets.h"
#include "emulator/virtual_instrument.h"
#include "ext_api.h"
#include "orna.h"
#include "panel.h"
#include "settings.h"
#include "stream.h"
#include "tools.h"

extern char** environ;

namespace orna::panel {

namespace {

std::atomic<bool> g_lost{false};
void OnLost() { g_lost = true; }

std::string NewToken() {
  unsigned char b[16];
  std::size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n <= 0) std::abort();  // no randomness: no safe token either
    got += static_cast<std::size_t>(n);
  }
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += hex[c >> 4];
    s += hex[c & 15];
  }
  return s;
}

// Compares in time independent of where the strings differ.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char d = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
  return d == 0;
}

bool IsLoopback(const std::string& addr) {
  return addr.rfind("127.", 0) == 0 || addr == "::1" || addr == "localhost";
}

bool IsWildcard(const std::string& addr) { return addr == "0.0.0.0" || addr == "::"; }

const Asset* FindAsset(const std::string& name) {
  for (std::size_t i = 0; i < kAssetCount; ++i)
    if (name == kAssets[i].name) return &kAssets[i];
  return nullptr;
}

std::string ConnectText(int code) {
  switch (code) {
    case 1: return "connected";
    case 0: return "no instrument answered";
    case -1: return "cannot open the port";
    case -16: return "the port is held by another process";
    default: return "cannot connect (code " + std::to_string(code) + ")";
  }
}

// httplib's pool with named threads, so that the server's cost can be told
// apart from the library's and the virtual instrument's.
class NamedPool : public httplib::TaskQueue {
 public:
  explicit NamedPool(std::size_t n) : pool_(n) {}
  void enqueue(std::function<void()> fn) override {
    pool_.enqueue([fn = std::move(fn)] {
      pthread_setname_np(pthread_self(), "panel-worker");
      fn();
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
};

class Panel {
 public:
  explicit Panel(const PanelOptions& o) : options_(o), token_(NewToken()) {}

  int Run();

 private:
  void Routes();
  bool Allowed(const httplib::Request& req);
  Json State();
  Json Connect(const std::string& target, const std::string& serial);
  void Disconnect();
  emu::VirtualInstrument* Virtual();
  static void Reply(httplib::Response& res, const Json& j, int status = 200) {
    res.status = status;
    res.set_content(j.dump(), "application/json");
  }

  PanelOptions options_;
  const std::string token_;
  std::set<std::string> hosts_;  // acceptable Host headers; empty: any
  std::string origin_host_;
  httplib::Server server_;
  Settings settings_;
  Stream stream_;
  std::mutex connection_;  // connect, disconnect and file operations
  std::unique_ptr<emu::VirtualInstrument> vi_;
  std::string port_;       // "" when not connected
  bool on_vi_ = false;
  std::string record_format_ = "edf", record_file_;
  char temp_dir_[64] = "";
};

emu::VirtualInstrument* Panel::Virtual() {
  if (!vi_) {
    emu::Config c;
    c.record_packets = false;  // its samples are taken and forgotten by the stream
    vi_ = std::make_unique<emu::VirtualInstrument>(c);
    vi_->start_playback(1.0);
  }
  return vi_.get();
}

void Panel::Disconnect() {
  if (port_.empty()) return;
  CloseORNA();
  port_.clear();
  on_vi_ = false;
}

Json Panel::Connect(const std::string& target, const std::string& serial) {
  std::lock_guard<std::mutex> lock(connection_);
  std::string path = target;
  if (!serial.empty()) {
    for (const auto& p : ListPorts())
      if (p.serial == serial) path = p.path;
    if (path.empty()) return {{"code", 0}, {"text", "no port with serial number " + serial}};
  }
  const bool virt = path == "virtual";
  if (virt) path = Virtual()->path();
  if (path.empty()) return {{"code", -1}, {"text", "no port given"}};
  Disconnect();
  g_lost = false;
  OnLinkLost(OnLost);
  const int code = OpenPort(path);
  std::string text = ConnectText(code);
  if (code != 1) {
    const std::string why = LastErrorText();
    if (!why.empty()) text += ": " + why;
    return {{"code", code}, {"text", text}};
  }
  port_ = path;
  on_vi_ = virt;
  settings_.Forget();
  stream_.UseInstrument(virt ? vi_.get() : nullptr);
  return {{"code", code}, {"text", text}, {"port", path}};
}

Json Panel::State() {
  Json j;
  std::lock_guard<std::mutex> lock(connection_);
  const bool connected = !port_.empty();
  j["connected"] = connected;
  j["port"] = port_;
  j["virtual"] = on_vi_;
  auto text = [](const char* s) { return s ? Json(s) : Json(nullptr); };
  j["identity"] = {{"serial", text(GetSerialNo())},       {"hardware", text(GetHWInfo())},
                   {"firmware_version", text(GetFWVersion())},
                   {"hardware_version", text(GetHWVersion())}, {"library_version", text(GetSDKVersion())}};
  LinkHealth h = GetLinkHealth();
  Json link = {{"source", h.known ? "library" : "none"}};
  if (!h.known && on_vi_) {
    // A library without link health: the virtual instrument's own counts.
    const auto st = vi_->stats();
    h.open = connected;
    h.requests = st.requests_sent;
    h.packets = st.packets_received;
    h.sequence_errors = st.sequence_gaps;
    link["source"] = "virtual instrument";
  }
  const bool lost = connected && (g_lost.load() || h.lost);
  link.update({{"open", h.open}, {"lost", lost}, {"requests", h.requests}, {"packets", h.packets},
               {"sequence_errors", h.sequence_errors}, {"write_failures", h.write_failures},
               {"bytes_dropped", h.bytes_dropped}});
  j["settings"] = settings_.Current();
  const bool streaming = connected && !lost && (h.known ? h.streaming : GetOutputFunc() != OutputFuncNone);
  j["streaming"] = streaming;
  link["streaming"] = streaming;
  j["link"] = link;
  j["lost"] = lost;
  j["scan"] = {{"progress", settings_.ScanProgress()}, {"frequency", GetFrequency()}};
  j["recording"] = {{"on", stream_.recording()}, {"points", stream_.recorded()}};
  j["stream"] = {{"points", stream_.points_total()}, {"dropped", stream_.points_dropped()},
                 {"seq", stream_.LastSeq()}};
  return j;
}

bool Panel::Allowed(const httplib::Request& req) {
  const std::string host = req.get_header_value("Host");
  if (!hosts_.empty() && !hosts_.count(host)) return false;
  // Browsers send Origin on every cross-site request that can change anything.
  if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) return false;
  std::string given = req.get_header_value("X-Orna-Token");
  if (given.empty()) given = req.get_param_value("token");
  return SameSecret(given, token_);
}

void Panel::Routes() {
  server_.new_task_queue = [] { return new NamedPool(12); };  // the stream and the browser's keep-alive connections each hold one
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (Allowed(req)) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content("forbidden\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });

  auto asset = [this](const std::string& name, const char* mime) {
    return [this, name, mime](const httplib::Request&, httplib::Response& res) {
      const Asset* a = FindAsset(name);
      std::string body(reinterpret_cast<const char*>(a->data), a->size);
      // The page's links to its own files carry the token.
      for (std::size_t at; (at = body.find("__TOKEN__")) != std::string::npos;)
        body.replace(at, 9, token_);
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_content(body, mime);
    };
  };
  server_.Get("/", asset("index.html", "text/html; charset=utf-8"));
  server_.Get("/panel.css", asset("panel.css", "text/css"));
  server_.Get("/panel.js", asset("panel.js", "application/javascript"));

  server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) { Reply(res, State()); });
  server_.Get("/api/schema", [](const httplib::Request&, httplib::Response& res) {
    Reply(res, Settings::Schema());
  });
  server_.Get("/api/ports", [this](const httplib::Request&, httplib::Response& res) {
    Json ports = Json::array();
    for (const auto& p : ListPorts())
      ports.push_back({{"path", p.path}, {"by_id", p.by_id}, {"vendor_id", p.vendor_id},
                       {"product_id", p.product_id}, {"serial", p.serial},
                       {"manufacturer", p.manufacturer}, {"product", p.product}});
    Reply(res, {{"ports", ports}, {"virtual", true}, {"listing", HaveExtensionApi() ? "library" : "scan"}});
  });
  server_.Post("/api/settings", [this](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    Json results = Json::object();
    for (const auto& [name, value] : body.items()) {
      const Outcome o = settings_.Apply(name, value);
      results[name] = {{"code", o.code}, {"text", o.text}};
    }
    Reply(res, {{"results", results}, {"settings", settings_.Current()}});
  });
  server_.Post("/api/connect", [this](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    Reply(res, Connect(body.value("port", std::string()), body.value("serial", std::string())));
  });
  server_.Post("/api/disconnect", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(connection_);
    Disconnect();
    Reply(res, {{"code", 0}, {"text", "disconnected"}});
  });
  server_.Post("/api/file", [this](const httplib::Request& req, httplib::Response& res) {
    // An uploaded text waveform, loaded for the file output.
    std::lock_guard<std::mutex> lock(connection_);
    const std::string path = std::string(temp_dir_) + "/upload.txt";
    {
      std::ofstream f(path, std::ios::binary | std::ios::trunc);
      f << req.body;
      if (!f) return Reply(res, {{"code", -1}, {"text", "cannot store the upload"}});
    }
    const Outcome o = settings_.Apply("file", path);
    Reply(res, {{"code", o.code}, {"text", o.text}});
  });
  server_.Get("/api/stream", [this](const httplib::Request& req, httplib::Response& res) {
    // A reconnecting browser names the last batch it has; the rest follows.
    std::uint64_t seq = 0;
    if (req.has_header("Last-Event-ID")) seq = std::strtoull(req.get_header_value("Last-Event-ID").c_str(), nullptr, 10);
    if (seq > stream_.LastSeq()) seq = 0;
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider("text/event-stream", [this, seq](std::size_t, httplib::DataSink& sink) mutable {
      std::string events;
      if (seq == 0) seq = stream_.LastSeq();
      seq = stream_.Next(seq, &events, 1000);
      if (events.empty()) events = ": idle\n\n";
      if (!server_.is_running()) return false;
      return sink.write(events.data(), events.size());
    });
  });
  server_.Post("/api/record", [this](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    std::lock_guard<std::mutex> lock(connection_);
    if (body.value("on", true)) {
      const std::string f = body.value("format", std::string("edf"));
      if (f != "edf" && f != "csv") return Reply(res, {{"code", -2}, {"text", "format: edf or csv"}});
      record_format_ = f;
      stream_.StartRecording();
      return Reply(res, {{"code", 0}, {"text", "recording"}});
    }
    if (!stream_.recording()) return Reply(res, {{"code", -3}, {"text", "not recording"}});
    double period = 0;
    const auto points = stream_.StopRecording(&period);
    record_file_ = std::string(temp_dir_) + "/recording." + record_format_;
    if (!cli::WriteRecording(record_file_, points, period, "orna panel"))
      return Reply(res, {{"code", -4}, {"text", points.empty() ? "nothing was recorded" : "cannot write the recording"}});
    Reply(res, {{"code", 0},
                {"text", std::to_string(points.size()) + " points recorded"},
                {"url", "/api/recording?token=" + token_}});
  });
  server_.Get("/api/recording", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(connection_);
    std::ifstream f(record_file_, std::ios::binary);
    if (record_file_.empty() || !f) return Reply(res, {{"error", "no recording"}}, 404);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    res.set_header("Content-Disposition", "attachment; filename=\"orna-recording." + record_format_ + "\"");
    res.set_content(data, record_format_ == "edf" ? "application/octet-stream" : "text/csv");
  });
}

int Panel::Run() {
  // Signals are taken by sigwait below, so every thread started from here on
  // must leave them blocked.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal
  // never reaches sigwait; the panel stops on it all the same.
  struct sigaction act {};
  act.sa_handler = [](int) {};
  sigaction(SIGINT, &act, nullptr);
  sigaction(SIGTERM, &act, nullptr);

  std::string addr = options_.listen;
  int port = 8370;
  const auto colon = addr.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "orna: --listen wants ADDRESS:PORT\n");
    return cli::kExitUsage;
  }
  char* end = nullptr;
  port = static_cast<int>(std::strtol(addr.c_str() + colon + 1, &end, 10));
  addr = addr.substr(0, colon);
  if (addr.size() > 1 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
  if (*end || port < 0 || port > 65535 || addr.empty()) {
    std::fprintf(stderr, "orna: --listen wants ADDRESS:PORT\n");
    return cli::kExitUsage;
  }
  std::snprintf(temp_dir_, sizeof temp_dir_, "%s", "/tmp/orna-panel-XXXXXX");
  if (!mkdtemp(temp_dir_)) {
    std::fprintf(stderr, "orna: cannot create a temporary directory\n");
    return cli::kExitIo;
  }

  // The instrument first: a panel that cannot reach the one asked for says so.
  stream_.Start(nullptr);
  if (options_.emulate || !options_.port.empty() || !options_.serial.empty()) {
    Json r = Connect(options_.emulate ? "virtual" : options_.port, options_.serial);
    if (r["code"] != 1) {
      std::fprintf(stderr, "orna: %s\n", r["text"].get<std::string>().c_str());
      stream_.Stop();
      rmdir(temp_dir_);
      return cli::kExitNoInstrument;
    }
  }

  Routes();
  const bool bound = port == 0 ? (port = server_.bind_to_any_port(addr)) > 0 : server_.bind_to_port(addr, port);
  if (!bound) {
    std::fprintf(stderr, "orna: cannot listen on %s\n", options_.listen.c_str());
    stream_.Stop();
    CloseORNA();
    rmdir(temp_dir_);
    return cli::kExitIo;
  }
  const std::string shown = addr.find(':') != std::string::npos ? "[" + addr + "]" : addr;
  const std::string hostport = shown + ":" + std::to_string(port);
  if (!IsWildcard(addr)) {
    hosts_.insert(hostport);
    if (IsLoopback(addr)) hosts_.insert("localhost:" + std::to_string(port));
  }
  if (!IsLoopback(addr))
    std::fprintf(stderr,
                 "orna: warning: listening on %s, reachable from other machines; anyone with the "
                 "address and its token can drive the instrument\n",
                 hostport.c_str());
  const std::string url = "http://" + (IsWildcard(addr) ? "127.0.0.1:" + std::to_string(port) : hostport) +
                          "/?token=" + token_;
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);

  std::thread listener([this] {
    pthread_setname_np(pthread_self(), "panel-http");
    server_.listen_after_bind();
  });
  if (options_.open) {
    pid_t pid;
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
      std::fprintf(stderr, "orna: cannot start a browser (xdg-open); open the address above\n");
    else
      waitpid(pid, nullptr, 0);
  }

  int sig = 0;
  sigwait(&stop_signals, &sig);
  server_.stop();
  listener.join();
  stream_.Stop();
  SetOutputFunc(OutputFuncNone);
  CloseORNA();
  vi_.reset();
  if (!record_file_.empty()) std::remove(record_file_.c_str());
  std::remove((std::string(temp_dir_) + "/upload.txt").c_str());
  rmdir(temp_dir_);
  return cli::kExitOk;
}

}  // namespace

int RunPanel(const PanelOptions& options) {
  Panel panel(options);
  return panel.Run();
}

}  // namespace orna::panel
