#include "host/src/main/startup.hpp"

int main(int argc, char** argv) { return drovix::host::host_main(argc, argv); }
