#pragma once
#include <string>

namespace drovix::host {
// Whether the Entra tenant, client and SharePoint site are all set.
bool sharepoint_configured();
}
