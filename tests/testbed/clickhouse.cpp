#include "tests/testbed/clickhouse.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/testbed/testbed.hpp"

namespace testbed {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string server_program() {
  for (const char* p : {"/usr/bin/clickhouse-server", "/usr/sbin/clickhouse-server"})
    if (::access(p, X_OK) == 0) return p;
  return {};
}

std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string config_xml(const std::string& dir, int http_port, int tcp_port, int interserver_port) {
  return "<?xml version=\"1.0\"?>\n<yandex>\n"
         "  <logger><level>warning</level><log>" + dir + "/log/server.log</log>"
         "<errorlog>" + dir + "/log/error.log</errorlog><size>10M</size><count>1</count></logger>\n"
         "  <listen_host>127.0.0.1</listen_host>\n"
         "  <http_port>" + std::to_string(http_port) + "</http_port>\n"
         "  <tcp_port>" + std::to_string(tcp_port) + "</tcp_port>\n"
         "  <interserver_http_port>" + std::to_string(interserver_port) + "</interserver_http_port>\n"
         "  <interserver_http_host>127.0.0.1</interserver_http_host>\n"
         "  <path>" + dir + "/data/</path>\n"
         "  <tmp_path>" + dir + "/tmp/</tmp_path>\n"
         "  <user_files_path>" + dir + "/user_files/</user_files_path>\n"
         "  <format_schema_path>" + dir + "/format_schemas/</format_schema_path>\n"
         "  <users_config>" + dir + "/users.xml</users_config>\n"
         "  <default_profile>default</default_profile>\n"
         "  <default_database>default</default_database>\n"
         "  <max_connections>1024</max_connections>\n"
         "  <keep_alive_timeout>3</keep_alive_timeout>\n"
         "  <max_concurrent_queries>100</max_concurrent_queries>\n"
         "  <uncompressed_cache_size>67108864</uncompressed_cache_size>\n"
         "  <mark_cache_size>67108864</mark_cache_size>\n"
         "  <mlock_executable>false</mlock_executable>\n"
         "</yandex>\n";
}

const char* kUsersXml = R"(<?xml version="1.0"?>
<yandex>
  <profiles>
    <default></default>
    <readonly><readonly>1</readonly></readonly>
  </profiles>
  <users>
    <default>
      <password></password>
      <networks><ip>127.0.0.1</ip></networks>
      <profile>default</profile>
      <quota>default</quota>
    </default>
  </users>
  <quotas>
    <default>
      <interval>
        <duration>3600</duration>
        <queries>0</queries>
        <errors>0</errors>
        <result_rows>0</result_rows>
        <read_rows>0</read_rows>
        <execution_time>0</execution_time>
      </interval>
    </default>
  </quotas>
</yandex>
)";

// One HTTP/1.0 exchange with the server (no chunked replies, the server
// closes when done).
ClickHouseAnswer http_exchange(int port, const std::string& method, const std::string& target,
                               const std::string& user, const std::string& password, const std::string& body) {
  ClickHouseAnswer answer;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return answer;
  timeval tv{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return answer;
  }
  std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
  if (!user.empty()) req += "X-ClickHouse-User: " + user + "\r\n";
  if (!password.empty()) req += "X-ClickHouse-Key: " + password + "\r\n";
  req += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  size_t off = 0;
  while (off < req.size()) {
    ssize_t n = ::send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      ::close(fd);
      return answer;
    }
    off += static_cast<size_t>(n);
  }
  std::string reply;
  char buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t head_end = reply.find("\r\n\r\n");
  if (reply.compare(0, 5, "HTTP/") != 0 || head_end == std::string::npos) return answer;
  size_t sp = reply.find(' ');
  answer.status = std::atoi(reply.c_str() + sp + 1);
  answer.body = reply.substr(head_end + 4);
  return answer;
}

// Splits a SQL file into statements at semicolons outside quotes and
// comments; empty statements are dropped.
std::vector<std::string> split_statements(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    size_t b = cur.find_first_not_of(" \t\r\n");
    if (b != std::string::npos) out.push_back(cur.substr(b));
    cur.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      size_t e = text.find('\n', i);
      i = e == std::string::npos ? text.size() : e;
      cur += '\n';
      continue;
    }
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      size_t e = text.find("*/", i + 2);
      i = e == std::string::npos ? text.size() : e + 1;
      cur += ' ';
      continue;
    }
    if (c == '\'' || c == '"' || c == '`') {
      size_t j = i + 1;
      while (j < text.size() && text[j] != c) j += text[j] == '\\' ? 2 : 1;
      cur.append(text, i, std::min(j, text.size() - 1) - i + 1);
      i = j;
      continue;
    }
    if (c == ';') {
      flush();
      continue;
    }
    cur += c;
  }
  flush();
  return out;
}

class Server {
 public:
  ~Server() { stop(); }

  const ClickHouseServer& get() {
    std::call_once(once_, [this] { start(); });
    if (!info_.ok) ADD_FAILURE() << "the test ClickHouse server is not available: " << failure_;
    return info_;
  }

  std::string users_dir() const { return info_.dir + "/users.d"; }

 private:
  void start() {
    info_.url = "http://127.0.0.1:1/";
    std::string program = server_program();
    if (program.empty()) {
      failure_ = "clickhouse-server is not installed";
      return;
    }
    char tmpl[] = "/tmp/drovix-clickhouse-XXXXXX";
    if (!::mkdtemp(tmpl)) {
      failure_ = "no scratch folder";
      return;
    }
    info_.dir = tmpl;
    for (const char* sub : {"log", "data", "tmp", "user_files", "format_schemas", "users.d"})
      fs::create_directories(info_.dir + "/" + sub);

    std::vector<int> ports;
    while (ports.size() < 3) {
      int p = free_port();
      if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
    }
    info_.http_port = ports[0];
    info_.tcp_port = ports[1];
    write_text(info_.dir + "/config.xml", config_xml(info_.dir, ports[0], ports[1], ports[2]));
    write_text(info_.dir + "/users.xml", kUsersXml);

    // Everything the child needs is prepared before the fork.
    std::string config_arg = "--config-file=" + info_.dir + "/config.xml";
    std::string console_log = info_.dir + "/log/console.log";
    std::string dir = info_.dir;

    // The server is forked from a thread that lives as long as it does, so
    // that the parent-death signal only fires when the whole test process
    // goes away.
    std::promise<pid_t> started;
    auto started_future = started.get_future();
    waiter_ = std::thread([this, program, config_arg, console_log, dir, started = std::move(started)]() mutable {
      pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int out = ::open(console_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out >= 0) {
          ::dup2(out, 1);
          ::dup2(out, 2);
        }
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execl(program.c_str(), "clickhouse-server", config_arg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
      }
      started.set_value(pid);
      if (pid < 0) return;
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      exited_ = true;
    });
    pid_ = started_future.get();
    if (pid_ < 0) {
      failure_ = "fork failed";
      return;
    }

    auto until = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      ClickHouseAnswer ping = http_exchange(info_.http_port, "GET", "/ping", "", "", "");
      if (ping.status == 200) break;
      if (exited_ || std::chrono::steady_clock::now() > until) {
        failure_ = "clickhouse-server did not come up; see " + info_.dir + "/log";
        std::fprintf(stderr, "%s\n%s\n", read_text(console_log).c_str(),
                     read_text(info_.dir + "/log/error.log").c_str());
        return;
      }
      std::this_thread::sleep_for(50ms);
    }
    info_.url = "http://127.0.0.1:" + std::to_string(info_.http_port) + "/";

    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(source_dir() + "/sql", ec))
      if (e.path().extension() == ".sql") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      for (const auto& stmt : split_statements(read_text(f.string()))) {
        ClickHouseAnswer a = http_exchange(info_.http_port, "POST", "/", "", "", stmt);
        if (a.status != 200) {
          failure_ = f.filename().string() + ": " + a.body;
          return;
        }
      }
    }
    info_.ok = true;
  }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      auto until = std::chrono::steady_clock::now() + 10s;
      while (!exited_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
      if (!exited_) ::kill(pid_, SIGKILL);
      pid_ = 0;
    }
    if (waiter_.joinable()) waiter_.join();
    if (!info_.dir.empty()) {
      std::error_code ec;
      fs::remove_all(info_.dir, ec);
    }
  }

  std::once_flag once_;
  ClickHouseServer info_;
  std::string failure_;
  pid_t pid_ = 0;
  std::atomic<bool> exited_{false};
  std::thread waiter_;
};

Server& server() {
  static Server s;
  return s;
}

}  // namespace

const ClickHouseServer& clickhouse_server() { return server().get(); }

ClickHouseAnswer clickhouse_exchange(const std::string& sql, const std::string& user, const std::string& password) {
  const ClickHouseServer& s = clickhouse_server();
  if (!s.ok) return {};
  return http_exchange(s.http_port, "POST", "/", user, password, sql);
}

std::string clickhouse_query(const std::string& sql) {
  ClickHouseAnswer a = clickhouse_exchange(sql);
  if (a.status != 200) ADD_FAILURE() << "ClickHouse answered " << a.status << " to " << sql << ": " << a.body;
  return a.body;
}

void clickhouse_add_user(const std::string& name, const std::string& password, const std::string& profile) {
  const ClickHouseServer& s = clickhouse_server();
  if (!s.ok) return;
  std::string xml = "<?xml version=\"1.0\"?>\n<yandex><users><" + name + "><password>" + xml_escape(password) +
                    "</password><networks><ip>127.0.0.1</ip></networks><profile>" + profile +
                    "</profile><quota>default</quota></" + name + "></users></yandex>\n";
  write_text(server().users_dir() + "/" + name + ".xml", xml);
  // The server looks at its users files every few seconds.
  auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until) {
    if (http_exchange(s.http_port, "POST", "/", name, password, "SELECT 1").status == 200) return;
    std::this_thread::sleep_for(100ms);
  }
  ADD_FAILURE() << "ClickHouse did not take the new user " << name;
}

}  // namespace testbed
