// The real program: libpci, /dev/mem and the wall clock, on the system's
// site, its history records also sent to the systemd journal when built
// with libsystemd.
#include "host/platform_host.h"
#include "romwright/history.h"
#include "romwright/front_end.h"

int main(int argc, char** argv) {
    const host_places places;
    host_platform host(places);
    site where = host_site(places);
#ifdef ROMWRIGHT_JOURNAL
    where.history_journal = send_history_to_journal;
#endif
    return romwright_main(host, where, argc, argv);
}
