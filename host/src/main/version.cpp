#include "host/src/main/version.hpp"
