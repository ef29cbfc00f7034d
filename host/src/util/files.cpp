#include "host/src/util/files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "common/fs.hpp"
#include "common/text.hpp"

namespace drovix::host {

Status write_private_file(const std::string& path, std::string_view bytes) {
  // Written to a temporary file that has mode 0600 from its creation and
  // then renamed into place: nobody else can read a secret, even briefly,
  // and a reader never sees half a file.
  auto st = write_file_atomic(path, bytes, 0600);
  if (!st) return st;

  // The daemon writes into folders owned by the VM units' system users;
  // such a file belongs to the folder's owner. This step never fails the
  // write.
  std::string dir = parent_dir(path);
  if (dir.empty()) dir = ".";
  struct stat file_st, dir_st;
  if (::stat(path.c_str(), &file_st) == 0 && ::stat(dir.c_str(), &dir_st) == 0 &&
      file_st.st_uid != dir_st.st_uid) {
    (void)::chown(path.c_str(), dir_st.st_uid, dir_st.st_gid);
  }
  return ok_status();
}

Status write_private_json(const std::string& path, const OJson& value) {
  return write_private_file(path, to_compact(value));
}

Status copy_private_file(const std::string& from, const std::string& to) {
  auto bytes = read_file(from);
  if (!bytes) return bytes.error();
  return write_private_file(to, *bytes);
}

std::optional<std::string> read_text_trimmed(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
  return trim_unicode(*bytes);
}

std::optional<OJson> read_json_file(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
  return parse_json<OJson>(*bytes);
}

OJson read_json_object(const std::string& path) {
  auto v = read_json_file(path);
  if (v && v->is_object()) return std::move(*v);
  return OJson::object();
}

}  // namespace drovix::host
