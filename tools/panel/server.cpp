// The panel's HTTP server: the embedded page, a JSON API under /api and the
// live stream as Server-Sent Events. It drives hardware wired to a patient
// monitor, so every request must carry the start's random token and come from
// this server's own page: a foreign Host (DNS rebinding) or Origin (another
// site in the same browser) is refused before any handler runs.
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "assets.h"
#include "connections.h"
#include "emulator/virtual_instrument.h"
#include "event_streams.h"
#include "ext_api.h"
#include "library_lock.h"
#include "monitor_feed.h"
#include "opener.h"
#include "orna.h"
#include "panel.h"
#include "settings.h"
#include "stream.h"
#include "text.h"
#include "tools.h"

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

// Why `path` cannot become the instrument's port, checked the way the library
// opens it but without touching the link in use; empty when it may.
std::string PortProblem(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  std::string why;
  if (!isatty(fd)) why = "not a serial port";
  else if (flock(fd, LOCK_EX | LOCK_NB) != 0) why = errno == EWOULDBLOCK ? "held by another process" : std::strerror(errno);
  close(fd);
  return why;
}

// True when another socket holds `addr`:`port` (the server's own bind reports
// only that it failed).
bool AddressInUse(const std::string& addr, int port) {
  addrinfo hints{}, *list = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  if (getaddrinfo(addr.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
  bool in_use = false;
  for (addrinfo* a = list; a && !in_use; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    in_use = bind(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EADDRINUSE;
    close(fd);
  }
  freeaddrinfo(list);
  return in_use;
}

constexpr std::size_t kMaxEventStreams = 32;  // a page holds one; more tabs than anyone keeps open
constexpr auto kOpenerCodeLife = std::chrono::minutes(2);

class Panel {
 public:
  explicit Panel(const PanelOptions& o) : options_(o), token_(NewToken()) {}
  ~Panel() { server_.StopConnections(); }

  int Run();

 private:
  void Routes();
  bool Allowed(const httplib::Request& req);
  bool OpenerCode(const httplib::Request& req);
  Json State();
  Json Connect(const std::string& target, const std::string& serial);
  void Disconnect();
  emu::VirtualInstrument* Virtual();
  static void Reply(httplib::Response& res, const Json& j, int status = 200) {
    res.status = status;
    // Outside text is made valid where it enters; a stray byte must still not cost the answer.
    res.set_content(j.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
  }

  PanelOptions options_;
  const std::string token_;
  std::set<std::string> hosts_;  // acceptable Host headers; empty: any
  std::string origin_host_;
  Settings settings_;
  Stream stream_;
  EventStreams events_{&stream_, kMaxEventStreams};
  PanelServer server_{ConnectionLimits{}, &events_};
  // The one-time code that --open's browser exchanges for the token: the
  // token itself would show on the opener's command line.
  std::mutex opener_m_;
  std::string opener_code_;
  std::chrono::steady_clock::time_point opener_until_{};
  // Connection state and every call into the library (LibraryLock()), also
  // what keeps a page's changes in the order they arrive.
  std::unique_ptr<emu::VirtualInstrument> vi_;
  MonitorFeed monitor_;    // what a monitor reports, with --monitor-hl7
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

// The caller holds LibraryLock().
Json Panel::Connect(const std::string& target, const std::string& serial) {
  std::string path = target;
  if (!serial.empty()) {
    for (const auto& p : ListPorts())
      if (p.serial == serial) path = p.path;
    if (path.empty()) return {{"code", 0}, {"text", "no port with serial number " + serial}};
  }
  const bool virt = path == "virtual";
  if (virt) path = Virtual()->path();
  if (path.empty()) return {{"code", -1}, {"text", "no port given"}};
  // A port that cannot be had leaves the link in use as it is.
  char real[PATH_MAX], in_use[PATH_MAX];
  const bool same = !port_.empty() && realpath(path.c_str(), real) && realpath(port_.c_str(), in_use) &&
                    std::strcmp(real, in_use) == 0;
  if (!same) {
    const std::string why = PortProblem(path);
    if (!why.empty()) {
      const int code = why == "held by another process" ? -16 : -1;
      return {{"code", code}, {"text", ConnectText(code) + ": " + path + ": " + why}};
    }
  }
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

// The caller holds LibraryLock().
Json Panel::State() {
  Json j;
  const bool connected = !port_.empty();
  j["connected"] = connected;
  j["port"] = port_;
  j["virtual"] = on_vi_;
  auto text = [](const char* s) { return s ? Json(cli::ValidUtf8(s)) : Json(nullptr); };
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
  j["recording"] = {{"on", stream_.recording()}, {"points", stream_.recorded()}, {"full", stream_.record_full()}};
  j["stream"] = {{"points", stream_.points_total()}, {"dropped", stream_.points_dropped()},
                 {"seq", stream_.LastSeq()}};
  if (Json m = monitor_.Snapshot(); !m.is_null()) j["monitor"] = m;
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

// `/open?once=CODE` from --open's browser: the code is good once, for a while.
bool Panel::OpenerCode(const httplib::Request& req) {
  if (req.path != "/open" || (!hosts_.empty() && !hosts_.count(req.get_header_value("Host")))) return false;
  std::lock_guard<std::mutex> lock(opener_m_);
  if (opener_code_.empty() || std::chrono::steady_clock::now() > opener_until_ ||
      !SameSecret(req.get_param_value("once"), opener_code_))
    return false;
  opener_code_.clear();
  return true;
}

void Panel::Routes() {
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (Allowed(req)) return httplib::Server::HandlerResponse::Unhandled;
    if (OpenerCode(req)) {
      res.set_redirect("/?token=" + token_, 303);
      return httplib::Server::HandlerResponse::Handled;
    }
    // A refused client's next request on this connection would cost a worker
    // again: it has to connect anew.
    PanelServer::CloseAfterResponse();
    res.status = 403;
    res.set_header("Connection", "close");
    res.set_content("forbidden\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Reply(res, {{"error", "internal error"}}, 500);
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

  // Every handler below calls into the library under LibraryLock(): one
  // request at a time, in the order they come.
  using Lock = std::lock_guard<std::mutex>;
  server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    Lock lock(LibraryLock());
    Reply(res, State());
  });
  server_.Get("/api/schema", [](const httplib::Request&, httplib::Response& res) {
    Reply(res, Settings::Schema());
  });
  server_.Get("/api/ports", [](const httplib::Request&, httplib::Response& res) {
    Json ports = Json::array();
    Lock lock(LibraryLock());
    for (const auto& p : ListPorts())
      ports.push_back({{"path", p.path}, {"by_id", p.by_id}, {"vendor_id", p.vendor_id},
                       {"product_id", p.product_id}, {"serial", cli::ValidUtf8(p.serial)},
                       {"manufacturer", cli::ValidUtf8(p.manufacturer)}, {"product", cli::ValidUtf8(p.product)}});
    Reply(res, {{"ports", ports}, {"virtual", true}, {"listing", HaveExtensionApi() ? "library" : "scan"}});
  });
  server_.Post("/api/settings", [this](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    Json results = Json::object();
    Lock lock(LibraryLock());
    for (const auto& [name, value] : body.items()) {
      const Outcome o = settings_.Apply(name, value);
      results[name] = {{"code", o.code}, {"text", o.text}};
      if (!o.field.empty()) results[name]["field"] = o.field;
    }
    Reply(res, {{"results", results}, {"settings", settings_.Current()}});
  });
  // A request's member of the wrong JSON type: the reason, or empty.
  auto wrong = [](const Json& body, const char* name, bool (Json::*is)() const noexcept, const char* type) {
    const auto it = body.find(name);
    return it != body.end() && !((*it).*is)() ? std::string(name) + ": " + type + " expected" : std::string();
  };
  server_.Post("/api/connect", [this, wrong](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    for (const char* name : {"port", "serial"})
      if (const std::string why = wrong(body, name, &Json::is_string, "a string"); !why.empty())
        return Reply(res, {{"error", why}}, 400);
    Lock lock(LibraryLock());
    Reply(res, Connect(body.value("port", std::string()), body.value("serial", std::string())));
  });
  server_.Post("/api/disconnect", [this](const httplib::Request&, httplib::Response& res) {
    Lock lock(LibraryLock());
    Disconnect();
    Reply(res, {{"code", 0}, {"text", "disconnected"}});
  });
  server_.Post("/api/file", [this](const httplib::Request& req, httplib::Response& res) {
    // An uploaded text waveform, loaded for the file output.
    Lock lock(LibraryLock());
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
    // Written by the event writer from here on, to the end of the connection.
    static const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "Connection: close\r\n\r\n";
    if (PanelServer::TakeForEvents(head, seq)) return;
    PanelServer::CloseAfterResponse();
    res.set_header("Retry-After", "10");
    Reply(res, {{"error", "too many event streams"}}, 503);
  });
  server_.Post("/api/record", [this, wrong](const httplib::Request& req, httplib::Response& res) {
    Json body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return Reply(res, {{"error", "a JSON object expected"}}, 400);
    for (const auto& why : {wrong(body, "on", &Json::is_boolean, "true or false"),
                            wrong(body, "format", &Json::is_string, "a string")})
      if (!why.empty()) return Reply(res, {{"error", why}}, 400);
    Lock lock(LibraryLock());
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
    // One recording is kept: the one before goes, whatever its format.
    if (!record_file_.empty()) std::remove(record_file_.c_str());
    record_file_ = std::string(temp_dir_) + "/recording." + record_format_;
    if (!cli::WriteRecording(record_file_, points, period, "orna panel"))
      return Reply(res, {{"code", -4}, {"text", points.empty() ? "nothing was recorded" : "cannot write the recording"}});
    Reply(res, {{"code", 0},
                {"text", std::to_string(points.size()) + " points recorded"},
                {"url", "/api/recording?token=" + token_}});
  });
  server_.Get("/api/recording", [this](const httplib::Request&, httplib::Response& res) {
    Lock lock(LibraryLock());
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
  std::string why;
  if (!options_.monitor_hl7.empty() && !monitor_.Start(options_.monitor_hl7, &why)) {
    std::fprintf(stderr, "orna: %s\n", why.c_str());
    return cli::kExitUsage;
  }
  std::snprintf(temp_dir_, sizeof temp_dir_, "%s", "/tmp/orna-panel-XXXXXX");
  if (!mkdtemp(temp_dir_)) {
    std::fprintf(stderr, "orna: cannot create a temporary directory\n");
    return cli::kExitIo;
  }

  // The instrument first: a panel that cannot reach the one asked for says so.
  {
    std::lock_guard<std::mutex> lock(LibraryLock());
    stream_.Start(nullptr);
  }
  if (options_.emulate || !options_.port.empty() || !options_.serial.empty()) {
    Json r;
    {
      std::lock_guard<std::mutex> lock(LibraryLock());
      r = Connect(options_.emulate ? "virtual" : options_.port, options_.serial);
    }
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
    if (AddressInUse(addr, port))
      std::fprintf(stderr, "orna: cannot listen on %s: the port is in use (another panel?)\n",
                   options_.listen.c_str());
    else
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

  events_.Start();
  server_.StartConnections();
  std::thread listener([this] {
    pthread_setname_np(pthread_self(), "panel-http");
    server_.listen_after_bind();
  });
  if (options_.open) {
    std::string code = NewToken();
    {
      std::lock_guard<std::mutex> lock(opener_m_);
      opener_code_ = code;
      opener_until_ = std::chrono::steady_clock::now() + kOpenerCodeLife;
    }
    const std::string once = url.substr(0, url.find("/?token=")) + "/open?once=" + code;
    if (!OpenInBrowser(once))
      std::fprintf(stderr, "orna: cannot start a browser (xdg-open); open the address above\n");
  }

  int sig = 0;
  sigwait(&stop_signals, &sig);
  server_.stop();
  listener.join();
  server_.StopConnections();
  events_.Stop();
  stream_.Stop();
  {
    std::lock_guard<std::mutex> lock(LibraryLock());
    SetOutputFunc(OutputFuncNone);
    CloseORNA();
  }
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
