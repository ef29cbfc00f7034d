#include "host/src/console/archives.hpp"

#include <dirent.h>

#include <algorithm>
#include <vector>

#include "common/fs.hpp"
#include "common/text.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

std::string timestamp_of(const OJson& entry) { return json_get_str(entry, "timestamp"); }

}  // namespace

std::string snapshots_dir() { return host_config().home + "/appliance-snapshots"; }

bool cmp_by_timestamp(const OJson& a, const OJson& b) { return timestamp_of(a) > timestamp_of(b); }

OJson list_archives_in(const std::string& dir) {
  (void)make_dirs(dir);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return OJson::array();
  std::vector<OJson> entries;
  while (struct dirent* de = ::readdir(d)) {
    std::string file = utf8_lossy(de->d_name);
    if (file.size() < 5 || !ends_with(file, ".blob")) continue;
    std::string stem = file.substr(0, file.size() - 5);
    size_t cut = stem.rfind("__");
    if (cut == std::string::npos) continue;
    std::string name = stem.substr(0, cut);
    std::string stamp = stem.substr(cut + 2);

    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const OJson& e) { return e["name"].get_ref<const std::string&>() == name; });
    if (it == entries.end()) {
      OJson e = OJson::object();
      e["name"] = name;
      e["versions"] = 0;
      e["timestamp"] = "";
      e["file"] = "";
      entries.push_back(std::move(e));
      it = entries.end() - 1;
    }
    (*it)["versions"] = (*it)["versions"].get<int64_t>() + 1;
    if (stamp > (*it)["timestamp"].get_ref<const std::string&>()) {
      (*it)["timestamp"] = stamp;
      (*it)["file"] = file;
    }
  }
  ::closedir(d);
  std::stable_sort(entries.begin(), entries.end(), cmp_by_timestamp);
  OJson out = OJson::array();
  for (auto& e : entries) out.push_back(std::move(e));
  return out;
}

OJson list_archives() { return list_archives_in(snapshots_dir()); }

}  // namespace drovix::host
