// The real program: libpci, /dev/mem and the wall clock, on the system's
// site.
#include "adapter/platform_host.h"
#include "romwright/romwright.h"

int main(int argc, char** argv) {
    const host_places places;
    host_platform host(places);
    return romwright_main(host, host_site(places), argc, argv);
}
