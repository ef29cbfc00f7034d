#include "common/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/encoding.hpp"

namespace drovix {

std::string errno_text(std::string_view what) {
  std::string s(what);
  if (!s.empty()) s += ": ";
  s += std::strerror(errno);
  return s;
}

Result<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error(ErrorKind::Io, errno_text(path));
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      Error e(ErrorKind::Io, errno_text(path));
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string parent_dir(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

Status make_dirs(const std::string& path) {
  if (path.empty() || path == "/") return ok_status();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return ok_status();
    return Error(ErrorKind::Io, path + ": not a directory");
  }
  auto st2 = make_dirs(parent_dir(path));
  if (!st2) return st2;
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Error(ErrorKind::Io, errno_text(path));
  return ok_status();
}

Status write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode) {
  std::string dir = parent_dir(path);
  if (!dir.empty()) {
    auto st = make_dirs(dir);
    if (!st) return st;
  }
  std::string tmp = path + ".tmp-" + hex_lower(random_bytes(6));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return Error(ErrorKind::Io, errno_text(path));
  // The umask may have narrowed the mode; the wanted mode is exact.
  if (::fchmod(fd, mode) != 0) {
    Error e(ErrorKind::Io, errno_text(path));
    ::close(fd);
    ::unlink(tmp.c_str());
    return e;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Error e(ErrorKind::Io, errno_text(path));
      ::close(fd);
      ::unlink(tmp.c_str());
      return e;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    Error e(ErrorKind::Io, errno_text(path));
    ::unlink(tmp.c_str());
    return e;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    Error e(ErrorKind::Io, errno_text(path));
    ::unlink(tmp.c_str());
    return e;
  }
  return ok_status();
}

}  // namespace drovix
