// The real program: libpci, /dev/mem and the wall clock.
#include "adapter/platform_host.h"
#include "romwright/romwright.h"

int main(int argc, char** argv) {
    g_platform = &host_platform;
    return romwright_main(argc, argv);
}
