// zevhost: runs the components of one process group for the service.
#include "tools/zevhost/host.h"

int main(int argc, char** argv) { return zev::RunHost(argc, argv); }
