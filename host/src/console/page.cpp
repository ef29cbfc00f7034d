#include "host/src/console/page.hpp"

namespace drovix::host {

// The page shell; its tabs and scripts are filled in with the console page
// work.
const std::string& console_page() {
  static const std::string page =
      "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Drovix Fleet Console</title>"
      "</head><body></body></html>\n";
  return page;
}

}  // namespace drovix::host
