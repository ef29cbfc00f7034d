#pragma once
namespace drovix::host {
// Brings back what was running before a restart and starts the background
// threads.
void restore_at_startup();
}
