#include "host/src/gateway/archive_save.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "common/crypto.hpp"
#include "common/fs.hpp"
#include "common/text.hpp"
#include "host/src/console/archives.hpp"
#include "host/src/gateway/audit.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace fs = std::filesystem;

namespace {

std::string version_stamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
  return buf;
}

std::string pass_phrase_path() { return host_config().certs + "/snapshot.pass"; }

// Stores the new pass phrase under path only when nothing is there yet:
// written whole to a private temporary file, then hard-linked into place,
// which fails when another save got there first.
Status store_new_pass_phrase(const std::string& path, const std::string& phrase) {
  (void)make_dirs(parent_dir(path));
  std::string tmp = path + ".new-" + random_hex(8);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Error(ErrorKind::Io, errno_text("create " + tmp));
  bool written = ::write(fd, phrase.data(), phrase.size()) == static_cast<ssize_t>(phrase.size());
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!written || !synced) {
    ::unlink(tmp.c_str());
    return Error(ErrorKind::Io, "write " + tmp + " failed");
  }
  int rc = ::link(tmp.c_str(), path.c_str());
  int link_errno = errno;
  ::unlink(tmp.c_str());
  if (rc != 0 && link_errno != EEXIST) {
    errno = link_errno;
    return Error(ErrorKind::Io, errno_text("store " + path));
  }
  return ok_status();
}

}  // namespace

std::optional<std::string> archive_pass_phrase(std::string* error) {
  std::string path = pass_phrase_path();
  // An empty pass phrase would seal archives under a key anyone can derive:
  // such a file is refused, never used.
  auto usable = [&](std::optional<std::string> stored) -> std::optional<std::string> {
    if (stored && stored->empty()) {
      if (error) *error = "the archive pass phrase in " + path + " is empty";
      return std::nullopt;
    }
    return stored;
  };
  if (path_exists(path)) {
    if (auto stored = read_text_trimmed(path)) return usable(stored);
  }
  if (auto st = store_new_pass_phrase(path, random_hex(24)); !st) {
    if (error) *error = "cannot store the archive pass phrase: " + st.message();
    return std::nullopt;
  }
  // Whichever save stored first, every save seals with what is on disk.
  if (auto stored = read_text_trimmed(path)) return usable(stored);
  if (error) *error = "cannot read back the archive pass phrase " + path;
  return std::nullopt;
}

bool archive_version_of(const std::string& file_name, const std::string& name) {
  std::string text = utf8_lossy(file_name);
  if (!ends_with(text, ".blob")) return false;
  std::string archive;
  size_t sep = text.rfind("__");
  if (sep != std::string::npos) {
    archive = text.substr(0, sep);
  } else {
    archive = text;
    while (ends_with(archive, ".blob")) archive.erase(archive.size() - 5);
  }
  return archive == name;
}

std::vector<std::string> archive_files(const std::string& dir, const std::string& name) {
  std::vector<std::string> out;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string file = it->path().filename().string();
    if (archive_version_of(file, name)) out.push_back(file);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> list_archive_versions(const std::string& name) {
  return archive_files(snapshots_dir(), name);
}

std::pair<uint16_t, OJson> save_session_archive(const std::string& name, const OJson& transcript, bool create_only,
                                                const std::string& session_id, const OJson& manifest) {
  std::string dir = snapshots_dir();
  std::error_code ec;
  fs::create_directories(dir, ec);

  std::string archive = trim_unicode(name).empty() ? std::string() : sanitize_name(name);
  if (archive.empty()) archive = "session";
  std::string stamp = version_stamp();
  std::vector<std::string> before = list_archive_versions(archive);
  if (create_only && !before.empty())
    return {409, OJson{{"error", "An archive named '" + archive + "' already exists. Pick a new name."}}};

  OJson plain = OJson::object();
  plain["transcript"] = json_truthy(transcript) ? transcript : OJson("");
  plain["name"] = archive;
  plain["ts"] = stamp;
  plain["manifest"] = json_truthy(manifest) ? manifest : OJson::array();

  // An archive is never sealed with a pass phrase that is not on disk:
  // nothing could open it again.
  std::string error;
  std::optional<std::string> phrase = archive_pass_phrase(&error);
  if (!phrase) return {500, OJson{{"error", error}}};

  std::string blob = seal_blob(to_compact(plain), *phrase);
  std::string path = dir + "/" + archive + "__" + stamp + ".blob";
  if (auto st = write_private_file(path, blob); !st) return {500, OJson{{"error", st.message()}}};

  std::vector<std::string> after = list_archive_versions(archive);
  if (after.size() > kArchiveVersionsKept) {
    for (size_t i = 0; i < after.size() - kArchiveVersionsKept; ++i) fs::remove(dir + "/" + after[i], ec);
  }
  if (before.empty())
    write_gateway_audit("signal", "archive", "archive_created", "low", "Archive '" + archive + "' created",
                        session_id);
  std::printf("archive saved: %s__%s (%zuB)\n", archive.c_str(), stamp.c_str(), blob.size());
  std::fflush(stdout);

  OJson reply = OJson::object();
  reply["ok"] = true;
  reply["name"] = archive;
  reply["timestamp"] = stamp;
  reply["bytes"] = blob.size();
  reply["versions"] = std::min(before.size(), kArchiveVersionsKept - 1) + 1;
  return {200, reply};
}

}  // namespace drovix::host
