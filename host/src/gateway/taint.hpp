#pragma once
// Taint records: values an agent read from the data lake, kept per session
// so that a sub-agent task carrying them can be recognised.
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace drovix::host {

// Records the identifying values of one query answer (TabSeparatedWithNames)
// of the calling VM: one block of sorted "n:"/"s:" lines appended to
// vmstate/taint/<port>@<started>.txt with a single write. Quiet: nothing is
// reported, and a caller of no slot or an answer without such values
// touches no file.
void record_taint(const std::string& caller_ip, std::string_view answer);

// The lines of one block, sorted and without repeats.
std::set<std::string> taint_records(std::string_view answer);

// A cell (commas already removed) read as a number: an optional sign and
// decimal digits with optional point, fraction and exponent, or inf,
// infinity, nan in any case.
std::optional<double> taint_number(std::string_view text);
// The shortest digits that read back as x: positional with at least one
// fraction digit below 1e16, scientific ("1e16", "2.5e20") above, "inf".
std::string taint_number_text(double x);

}  // namespace drovix::host
