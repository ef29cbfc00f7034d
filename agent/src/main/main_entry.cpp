#include "agent/src/main/agent_startup.hpp"

int main() { return drovix::agent::agent_main(); }
