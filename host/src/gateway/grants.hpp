#pragma once
// Access grants that staff give agents in the console (rows of
// datalake.grants), read afresh on every call.
#include <string>

#include "common/json.hpp"

namespace drovix::host {

// {scope value: whole minutes left} of every live grant (active=1 and not
// expired by the database's clock); {} when the grants cannot be read.
OJson active_grant_minutes();

// Whether the live grants cover one lake table: the scope "datalake"
// covers every table, "datalake:<table>" that one.
bool has_grant(const std::string& table, const OJson& minutes);

// The body of GET /v1/grants/snapshot:
// {"generated_at": ms, "gated": [], "grants": [{"label", "scope": [{"value", "label"}]}, ...]}
// with the policy's export row last when saving marked files needs no grant.
OJson grants_snapshot();

// The minutes of one row's "m": a JSON integer, or an integer written as
// text; anything else counts as 0.
int64_t grant_minutes_value(const OJson* m);

}  // namespace drovix::host
