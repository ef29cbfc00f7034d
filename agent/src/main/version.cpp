#include "agent/src/main/version.hpp"
