// The simulator's site, as its configuration makes it: where locks,
// backups and journals go, which EEPROM each function's lock stands for,
// and the EEPROM files read must not write into.
#include <sys/stat.h>

#include "adapter/adapter.h"
#include "unit_support.h"

namespace {

pci_function at(uint8_t bus) {
    return pci_function{0, bus, 0x00, 0, SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID, ""};
}

TEST(sim_site, places_follow_the_eeprom_files) {
    temp_dir dir;
    const std::string shared = dir.file("e.bin"), own = dir.file("own/f.bin");
    ASSERT_EQ(mkdir(dir.file("own").c_str(), 0755), 0);
    struct expected {
        std::string lock_dir, backup_dir, journal_dir;
        std::vector<std::string> names;  // the EEPROM file of functions 04 and 05 ("": in memory)
        std::vector<std::string> files;  // the platform files
    };
    struct one_case {
        const char* what;
        sim_config cfg;
        expected want;
    };
    sim_config in_memory, file, file_backups, own_only;
    in_memory.devices = file.devices = file_backups.devices = own_only.devices = {at(4), at(5)};
    in_memory.device_files = file.device_files = file_backups.device_files = {"", ""};
    file.eeprom_path = file_backups.eeprom_path = shared;
    file_backups.backup_dir = dir.file("kept");
    own_only.device_files = {"", own};
    const std::string none;
    const one_case cases[] = {
        {"every EEPROM in memory: no lock, no backup, no journal", in_memory, {none, none, none, {"", ""}, {}}},
        {"--eeprom", file,
         {dir.path() + "/locks", dir.path() + "/backups", dir.path(), {shared, shared}, {shared}}},
        {"--eeprom with --backup-dir", file_backups,
         {dir.path() + "/locks", dir.file("kept"), dir.path(), {shared, shared}, {shared}}},
        {"an EEPROM file of its own beside one in memory", own_only,
         {dir.file("own/locks"), dir.file("own/backups"), dir.file("own"), {"", own}, {own}}},
    };
    for (const one_case& c : cases) {
        SCOPED_TRACE(c.what);
        const sim_platform p(c.cfg);
        const site& where = p.where();
        EXPECT_EQ(where.lock_dir, c.want.lock_dir);
        EXPECT_EQ(where.backup_dir, c.want.backup_dir);
        EXPECT_EQ(where.journal_dir, c.want.journal_dir);
        // Named after the file's device and inode: every name of one file
        // is one EEPROM, one lock.
        auto name_of = [](const std::string& file) {
            struct stat st {};
            if (!file.empty())
                stat(file.c_str(), &st);
            return std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
                   std::to_string(static_cast<unsigned long long>(st.st_ino));
        };
        EXPECT_EQ(eeprom_name(where, at(4)), name_of(c.want.names[0]));
        EXPECT_EQ(eeprom_name(where, at(5)), name_of(c.want.names[1]));
        std::vector<std::string> files;
        for (const platform_file& f : where.platform_files)
            files.push_back(f.path);
        EXPECT_EQ(files, c.want.files);
        for (const std::string& f : c.want.files)
            EXPECT_EQ(platform_file_named(where, f), "the simulated adapter's EEPROM file (--eeprom)");
        EXPECT_EQ(platform_file_named(where, dir.file("own")), "");
    }
    // A function the site does not name locks its device: DDDD:BB:SS.
    EXPECT_EQ(eeprom_name(site(), at(4)), "0000:04:00");
}

}  // namespace
