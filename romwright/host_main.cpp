// The real program: libpci, /dev/mem and the wall clock.
#include "adapter/platform_host.h"
#include "romwright/romwright.h"

int main(int argc, char** argv) {
    host_platform host;
    return romwright_main(host, argc, argv);
}
