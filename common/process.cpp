#include "common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace drovix {
namespace {

// Closes whatever descriptors it still holds when the call returns.
struct Fds {
  int fd[4] = {-1, -1, -1, -1};
  ~Fds() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void close_one(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
};

// Reads what is ready on fd into out; false once the write end is closed
// (or the pipe failed), so the caller stops watching it.
// A call takes at most a few reads, so a command that never stops writing
// still meets its time-out.
bool drain(int fd, std::string& out) {
  char buf[65536];
  for (int reads = 0; reads < 16; ++reads) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return true;
}

}  // namespace

std::optional<CommandOutput> run_command(const std::vector<std::string>& argv, int timeout_s) {
  if (argv.empty()) return std::nullopt;

  Fds fds;  // [0] stdout read, [1] stdout write, [2] stderr read, [3] stderr write
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return std::nullopt;
  fds.fd[0] = out_pipe[0];
  fds.fd[1] = out_pipe[1];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return std::nullopt;
  fds.fd[2] = err_pipe[0];
  fds.fd[3] = err_pipe[1];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  // The child leads a process group of its own, so a time-out can end it
  // together with everything it started. Signals the daemon ignores (the
  // broken pipe) are back to their defaults, and nothing stays blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return std::nullopt;

  fds.close_one(1);
  fds.close_one(3);
  ::fcntl(fds.fd[0], F_SETFL, O_NONBLOCK);
  ::fcntl(fds.fd[2], F_SETFL, O_NONBLOCK);

  CommandOutput result;
  int status = 0;
  for (;;) {
    // Output is taken as it comes, so a talkative command never stalls on
    // a full pipe.
    if (fds.fd[0] >= 0 && !drain(fds.fd[0], result.stdout_bytes)) fds.close_one(0);
    if (fds.fd[2] >= 0 && !drain(fds.fd[2], result.stderr_bytes)) fds.close_one(2);

    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) return std::nullopt;  // status unavailable

    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    if (elapsed.count() >= timeout_s) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return std::nullopt;
    }

    pollfd p[2];
    nfds_t n = 0;
    for (int i : {0, 2}) {
      if (fds.fd[i] >= 0) p[n++] = pollfd{fds.fd[i], POLLIN, 0};
    }
    if (n == 0) {
      ::usleep(20000);
    } else {
      ::poll(p, n, 20);
    }
  }

  // Everything the command wrote before it ended is already in the pipes;
  // take it without waiting on anything it may have left running.
  for (int i : {0, 2}) {
    std::string& out = i == 0 ? result.stdout_bytes : result.stderr_bytes;
    while (fds.fd[i] >= 0) {
      size_t before = out.size();
      if (!drain(fds.fd[i], out) || out.size() == before) break;
      // Something the command left behind is still writing.
      if (std::chrono::steady_clock::now() - start >= std::chrono::seconds(timeout_s)) break;
    }
  }
  result.status = status;
  return result;
}

}  // namespace drovix
