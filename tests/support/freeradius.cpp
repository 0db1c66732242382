#ifndef _WIN32
#include "tests/support/freeradius.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace hx::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemConfig = "/etc/freeradius/3.0";
constexpr const char* kReady = "Ready to process requests";

std::mutex g_sharedLock;
std::unique_ptr<FreeRadius> g_shared;
std::string g_sharedWhy;
bool g_tried = false;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// The file without its `listen { ... }` sections (the ports they name are
// the system's; ours is added in radiusd.conf).
std::string WithoutListeners(const std::string& text) {
  std::istringstream lines(text);
  std::string out;
  int depth = 0;
  bool skipping = false;
  for (std::string line; std::getline(lines, line);) {
    const std::string code = line.substr(0, line.find('#'));
    if (!skipping && std::regex_search(code, std::regex(R"(^\s*listen\s*\{)"))) {
      skipping = true;
      depth = 0;
    }
    if (skipping) {
      for (char c : code) depth += c == '{' ? 1 : c == '}' ? -1 : 0;
      if (depth <= 0) skipping = false;
      continue;
    }
    out += line + "\n";
  }
  return out;
}

std::optional<std::string> Program(const char* name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

// A UDP port on the loopback nobody uses now.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

}  // namespace

FreeRadius* FreeRadius::Shared(std::string* why) {
  std::lock_guard lock(g_sharedLock);
  if (!g_tried) {
    g_tried = true;
    std::unique_ptr<FreeRadius> server(new FreeRadius);
    if (server->Start(&g_sharedWhy)) g_shared = std::move(server);
  }
  *why = g_sharedWhy;
  return g_shared.get();
}

void FreeRadius::StopShared() {
  std::lock_guard lock(g_sharedLock);
  g_shared.reset();
  g_tried = false;
}

std::string FreeRadius::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

bool FreeRadius::Start(std::string* why) {
  const std::optional<std::string> program = Program("freeradius");
  if (!program) {
    *why = "freeradius is not installed (Debian package freeradius)";
    return false;
  }
  if (access((fs::path(kSystemConfig) / "radiusd.conf").c_str(), R_OK) != 0) {
    *why = std::string(kSystemConfig) + " cannot be read by this user";
    return false;
  }
  std::string pattern = (fs::path(::testing::TempDir()) / "halvex-freeradius-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    *why = "no temporary directory";
    return false;
  }
  dir_ = pattern;
  const fs::path raddb = fs::path(dir_) / "raddb";
  std::error_code ec;
  fs::copy(kSystemConfig, raddb, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    *why = std::string("the configuration could not be copied: ") + ec.message();
    return false;
  }
  const fs::path certs = raddb / "certs";
  const std::string make = "make -C '" + certs.string() + "' >'" + dir_ + "/make.log' 2>&1";
  if (std::system(make.c_str()) != 0) {
    *why = "make in the copied certs/ failed: " + ReadText(fs::path(dir_) / "make.log");
    return false;
  }
  caFile_ = (certs / "ca.pem").string();
  clientCertificate_ = (certs / "client.crt").string();
  clientKey_ = (certs / "client-plain.key").string();
  // The test keys are encrypted with the password the Makefile gives them.
  const std::string decrypt = "openssl pkey -in '" + (certs / "client.key").string() +
                              "' -passin pass:whatever -out '" + clientKey_ + "' 2>/dev/null";
  if (std::system(decrypt.c_str()) != 0) {
    *why = "the test client's key could not be decrypted";
    return false;
  }

  port_ = FreePort();
  for (const char* site : {"sites-enabled/default", "sites-enabled/inner-tunnel"})
    WriteText(raddb / site, WithoutListeners(ReadText(raddb / site)));
  std::string conf = ReadText(raddb / "radiusd.conf");
  // Unprivileged, and everything it writes in the directory.
  conf = std::regex_replace(conf, std::regex(R"(\n\s*(user|group) = freerad)"), "\n");
  conf = std::regex_replace(conf, std::regex(R"(\nraddbdir = [^\n]*)"), "\nraddbdir = " + raddb.string());
  conf = std::regex_replace(conf, std::regex(R"(\nlogdir = [^\n]*)"), "\nlogdir = " + dir_ + "/log");
  conf = std::regex_replace(conf, std::regex(R"(\nrun_dir = [^\n]*)"), "\nrun_dir = " + dir_ + "/run");
  conf =
      std::regex_replace(conf, std::regex(R"(\n(\s*)proxy_requests\s*=\s*yes)"), "\n$1proxy_requests = no");
  // Refusals at once: the tests refuse on purpose, and often.
  conf = std::regex_replace(conf, std::regex(R"(\n(\s*)reject_delay\s*=\s*[0-9]+)"), "\n$1reject_delay = 0");
  conf += "\nlisten {\n\ttype = auth\n\tipaddr = 127.0.0.1\n\tport = " + std::to_string(port_) +
          "\n\tvirtual_server = default\n}\n";
  fs::create_directories(fs::path(dir_) / "log", ec);
  fs::create_directories(fs::path(dir_) / "run", ec);
  WriteText(raddb / "radiusd.conf", conf);
  WriteText(raddb / "clients.conf",
            "client halvex {\n\tipaddr = 127.0.0.1\n\tsecret = " + Secret() + "\n\tnas_type = other\n}\n");
  std::string eap = ReadText(raddb / "mods-available" / "eap");
  eap = std::regex_replace(eap, std::regex(R"(private_key_file = [^\n]*)"),
                           "private_key_file = ${certdir}/server.key");
  eap = std::regex_replace(eap, std::regex(R"(certificate_file = [^\n]*)"),
                           "certificate_file = ${certdir}/server.pem");
  eap = std::regex_replace(eap, std::regex(R"(\n(\s*)ca_file = [^\n]*)"), "\n$1ca_file = ${certdir}/ca.pem");
  WriteText(raddb / "mods-available" / "eap", eap);
  const fs::path users = raddb / "mods-config" / "files" / "authorize";
  WriteText(users, User() + " Cleartext-Password := \"" + Password() + "\"\n" + ReadText(users));

  int fds[2];
  if (pipe(fds) != 0) {
    *why = "no pipe";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  std::string x = "-X", d = "-d", path = raddb.string(), name = "freeradius";
  char* argv[] = {name.data(), x.data(), d.data(), path.data(), nullptr};
  const int spawned = posix_spawn(&pid_, program->c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    pid_ = -1;
    *why = "freeradius could not be started";
    return false;
  }
  reader_ = std::thread([this, fd = fds[0]] { Read(fd); });
  if (!WaitForLog([](const std::string& log) { return log.find(kReady) != std::string::npos; })) {
    const std::string log = Log();
    *why = "freeradius did not get ready: " + log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    return false;
  }
  return true;
}

void FreeRadius::Read(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    {
      std::lock_guard lock(mutex_);
      log_.append(buffer, static_cast<size_t>(n));
    }
    grew_.notify_all();
  }
  close(fd);
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  grew_.notify_all();
}

std::string FreeRadius::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

bool FreeRadius::WaitForLog(const std::function<bool(const std::string&)>& seen) const {
  std::unique_lock lock(mutex_);
  return grew_.wait_for(lock, std::chrono::seconds(30), [&] { return seen(log_) || closed_; }) && seen(log_);
}

FreeRadius::~FreeRadius() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) reader_.join();
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

std::optional<std::vector<uint8_t>> LastAcceptedRecvKey(const std::string& log) {
  const size_t accept = log.rfind("Sent Access-Accept");
  if (accept == std::string::npos) return std::nullopt;
  static const std::regex key(R"(MS-MPPE-Recv-Key = 0x([0-9a-fA-F]+))");
  std::smatch match;
  const std::string after = log.substr(accept);
  if (!std::regex_search(after, match, key)) return std::nullopt;
  std::vector<uint8_t> bytes;
  const std::string hex = match[1];
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace hx::test
#endif
