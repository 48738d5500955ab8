// The real lookup: libpci device lists built here, the real libpci scan
// over a fake sysfs tree, and open_adapter mapping an ordinary file in
// place of /dev/mem with the adapter lock in a scratch directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <nlohmann/json.hpp>

extern "C" {
#include <pci/pci.h>
}

#include "adapter/adapter.h"
#include "host/platform_host.h"
#include "common/error.h"
#include "romwright/command_rows.h"
#include "romwright/list.h"
#include "romwright/messages.h"
#include "support/support.h"

namespace {

struct dev_spec {
    int domain, bus, dev, func;
    uint64_t base;
};

// A libpci device list in the given order.
class dev_list {
public:
    explicit dev_list(const std::vector<dev_spec>& specs) : devs_(specs.size()) {
        for (size_t i = 0; i < specs.size(); ++i) {
            devs_[i] = pci_dev{};
            devs_[i].domain = specs[i].domain;
            devs_[i].bus = static_cast<u8>(specs[i].bus);
            devs_[i].dev = static_cast<u8>(specs[i].dev);
            devs_[i].func = static_cast<u8>(specs[i].func);
            devs_[i].base_addr[0] = specs[i].base;
            devs_[i].next = i + 1 < specs.size() ? &devs_[i + 1] : nullptr;
        }
    }
    std::vector<pci_function> functions() const {
        return host_collect_functions(devs_.empty() ? nullptr : &devs_[0], "/nonexistent");
    }

private:
    std::vector<pci_dev> devs_;
};

adapter_address bdf(int bus, int slot, int function) { return adapter_address{false, 0, bus, slot, function}; }

TEST(host_lookup_list, collects_every_function_in_list_order_with_full_bar) {
    dev_list list({{0, 0x04, 0x00, 0, 0x00002000FEDCB00Cull}, {3, 0x7f, 0x1f, 7, 0xF0000004}, {0, 0, 0, 0, 0}});
    std::vector<pci_function> fns = list.functions();
    ASSERT_EQ(fns.size(), 3u);
    EXPECT_EQ(fns[0].base_addr0, 0x00002000FEDCB00Cull);
    EXPECT_EQ(bar0_physical(fns[0].base_addr0), 0x00002000FEDCB000ull);
    EXPECT_EQ(fns[1].domain, 3u);
    EXPECT_EQ(fns[1].bus, 0x7f);
    EXPECT_EQ(fns[1].dev, 0x1f);
    EXPECT_EQ(fns[1].func, 7);
    EXPECT_EQ(bar0_physical(fns[1].base_addr0), 0xF0000000ull);
    EXPECT_TRUE(host_collect_functions(nullptr, "/nonexistent").empty());
}

TEST(host_lookup_list, matches_keep_list_order_so_the_last_one_is_last) {
    dev_list list({{1, 4, 0, 0, 0x1000}, {0, 4, 0, 1, 0x2000}, {0, 5, 0, 0, 0x3000}, {2, 4, 0, 0, 0x4000}});
    std::vector<pci_function> m = match_pci_functions(list.functions(), bdf(4, 0, 0));
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].base_addr0, 0x1000u);
    EXPECT_EQ(m.back().base_addr0, 0x4000u);
    // With its domain the address names exactly one of them.
    m = match_pci_functions(list.functions(), adapter_address{true, 2, 4, 0, 0});
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].base_addr0, 0x4000u);
}

TEST(host_lookup_list, values_above_255_match_nothing) {
    // The scan's fields are 8-bit: a wider value must not be cut down to
    // match (0x1ff would become 0xff, 0x100 would become 0).
    dev_list list({{0, 0xff, 0x1f, 7, 0x1000}, {0, 0, 0, 0, 0x2000}});
    const adapter_address cases[] = {bdf(0x1ff, 0x1f, 7), bdf(0xff, 0x11f, 7), bdf(0xff, 0x1f, 0x107),
                                     bdf(0x100, 0, 0), bdf(0, 0x100, 0), bdf(0, 0, 0x100)};
    for (const adapter_address& a : cases)
        EXPECT_TRUE(match_pci_functions(list.functions(), a).empty()) << a.bus << " " << a.slot << " " << a.function;
    EXPECT_EQ(match_pci_functions(list.functions(), bdf(0xff, 0x1f, 7)).size(), 1u);
}

// A fake /sys/bus/pci: devices/<DDDD:BB:SS.F>/resource and config, as
// libpci's sysfs method reads them, plus a device-memory file and a lock
// directory.
class host_sysfs : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir.file("sys").c_str(), 0755);
        mkdir(dir.file("sys/devices").c_str(), 0755);
        places.sysfs = dir.file("sys");
        places.mem = dir.file("mem");
        places.lock_dir = dir.file("lock");
        places.backup_dir = dir.file("backups");
        places.journal_dir = dir.file("journal");
        places.lockdown = dir.file("lockdown");  // none: the kernel says nothing
        remake();
    }
    // The platform and site of places as they stand.
    void remake() {
        host = std::make_unique<host_platform>(places);
        where = host_site(places);
    }
    // Binds kernel driver `driver` to function `name` (sysfs's driver link).
    void bind_driver(const std::string& name, const std::string& driver) {
        mkdir(dir.file("sys/drivers").c_str(), 0755);
        mkdir(dir.file("sys/drivers/" + driver).c_str(), 0755);
        ASSERT_EQ(symlink(("../../drivers/" + driver).c_str(), dir.file("sys/devices/" + name + "/driver").c_str()), 0);
    }
    // flags: the kernel's resource flags (0x140204: 64-bit memory; 0 with
    // bar0 0: no BAR0).  IDs as the kernel's vendor and device files hold them.
    // command: the command register (bit 1: memory decoding on).
    void add_device(const std::string& name, uint64_t bar0, uint64_t flags = 0x140204,
                    const std::string& vendor = "0x1e2c", const std::string& device = "0x8001",
                    uint16_t command = 0x0006) {
        std::string d = dir.file("sys/devices/" + name);
        mkdir(d.c_str(), 0755);
        write_text(d + "/vendor", vendor + "\n");
        write_text(d + "/device", device + "\n");
        char line[128];
        std::string text;
        std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n", static_cast<unsigned long long>(bar0),
                      static_cast<unsigned long long>(bar0 ? bar0 + 0x3ffff : 0), static_cast<unsigned long long>(flags));
        text += line;
        for (int i = 1; i < 6; ++i)
            text += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
        write_text(d + "/resource", text);
        const unsigned long v = std::stoul(vendor, nullptr, 16), dv = std::stoul(device, nullptr, 16);
        std::vector<uint8_t> config(64, 0);
        const uint8_t head[6] = {static_cast<uint8_t>(v),       static_cast<uint8_t>(v >> 8),
                                 static_cast<uint8_t>(dv),      static_cast<uint8_t>(dv >> 8),
                                 static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8)};
        std::copy(head, head + 6, config.begin());
        write_file(d + "/config", config);
    }
    // A sparse stand-in for device memory holding a little-endian register
    // value v at physical address at.
    void make_mem(uint64_t size, uint64_t at, uint32_t v) {
        int fd = ::open(dir.file("mem").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
        ASSERT_EQ(pwrite(fd, b, 4, static_cast<off_t>(at)), 4);
        close(fd);
    }
    std::unique_ptr<adapter_session> open(const adapter_address& a) { return open_adapter(*host, where, a, quiet); }
    int expect_refusal(const adapter_address& a, std::string* message) {
        try {
            open(a);
        } catch (const failure& e) {
            *message = message_of(e);
            return e.status();
        }
        return -1;
    }
    bool lock_is_free(const std::string& name) {
        int fd = ::open(dir.file("lock/romwright-" + name + ".lock").c_str(), O_RDWR);
        if (fd < 0)
            return true;
        bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }
    temp_dir dir;
    host_places places;
    std::unique_ptr<host_platform> host;
    site where;
    observer quiet;
};

TEST_F(host_sysfs, scan_reports_domain_address_and_bar0_from_resource) {
    add_device("0000:04:00.0", 0x10000);
    add_device("0003:7f:1f.7", 0x00002000FEDCB000ull);
    add_device("0000:00:1c.2", 0, 0, "0x1e2c", "0x8001", 0x0004);  // bus master, no memory decoding
    std::vector<pci_function> fns = host->scan();
    ASSERT_EQ(fns.size(), 3u);
    std::sort(fns.begin(), fns.end(), [](const pci_function& a, const pci_function& b) { return a.bus < b.bus; });
    EXPECT_EQ(fns[0].dev, 0x1c);
    EXPECT_EQ(fns[0].func, 2);
    EXPECT_EQ(fns[0].base_addr0, 0u);
    EXPECT_FALSE(fns[0].memory_decoding);
    EXPECT_TRUE(fns[1].memory_decoding);
    EXPECT_EQ(fns[1].domain, 0u);
    EXPECT_EQ(bar0_physical(fns[1].base_addr0), 0x10000u);
    EXPECT_EQ(fns[2].domain, 3u);
    EXPECT_EQ(fns[2].bus, 0x7f);
    EXPECT_EQ(fns[2].dev, 0x1f);
    EXPECT_EQ(fns[2].func, 7);
    EXPECT_EQ(bar0_physical(fns[2].base_addr0), 0x00002000FEDCB000ull);
}

TEST_F(host_sysfs, maps_bar0_above_4gib_and_holds_the_adapter_lock) {
    const uint64_t bar = 0x100010000ull;  // beyond 32 bits, in a sparse file
    add_device("0000:7f:1f.7", bar);
    add_device("0000:7f:1f.6", bar);
    make_mem(bar + REGISTER_WINDOW_SIZE, bar + VPD_TIMER, 0x01F40C35);
    std::unique_ptr<adapter_session> s = open(bdf(0x7f, 0x1f, 7));
    EXPECT_EQ(s->read(VPD_TIMER), 0x00000C35u);  // the timer's upper half turned off by the opening
    EXPECT_FALSE(lock_is_free("0000:7f:1f"));

    // A second lookup of the same adapter while the first holds it.
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("0000:7f:1f.7 is in use"), std::string::npos) << msg;
    // Another function of the same device shares its EEPROM, and its lock.
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 6), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("0000:7f:1f.6 is in use"), std::string::npos) << msg;

    s.reset();
    EXPECT_TRUE(lock_is_free("0000:7f:1f"));
}

TEST_F(host_sysfs, functions_differing_only_in_domain_are_refused_listing_both) {
    add_device("0000:7f:1f.7", 0x10000);
    add_device("0003:7f:1f.7", 0x20000);
    make_mem(0x60000, 0, 0);
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("  0000:7f:1f.7\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("  0003:7f:1f.7\n"), std::string::npos) << msg;
    EXPECT_FALSE(access(dir.file("lock/romwright-0000:7f:1f.lock").c_str(), F_OK) == 0);
    // Naming the domain chooses one.
    EXPECT_EQ(open(adapter_address{true, 3, 0x7f, 0x1f, 7})->function().domain, 3u);
}

TEST_F(host_sysfs, unopenable_device_memory_is_an_error_naming_the_cause) {
    add_device("0000:7f:1f.7", 0x10000);  // no mem file made
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find(dir.file("mem")), std::string::npos) << msg;
    EXPECT_NE(msg.find("No such file or directory"), std::string::npos) << msg;
    EXPECT_NE(msg.find("root"), std::string::npos) << msg;
    EXPECT_TRUE(lock_is_free("0000:7f:1f"));
}

// A device-memory file that opens but refuses a writable shared mapping
// (EPERM), as a kernel with IO_STRICT_DEVMEM refuses registers a driver
// holds: the driver that the scan read from sysfs, and the way on.
TEST_F(host_sysfs, a_refused_mapping_names_the_bound_driver_and_the_way_on) {
    add_device("0003:7f:1f.7", 0x10000);
    bind_driver("0003:7f:1f.7", "rwnic");
    const int sealed = memfd_create("mem", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(sealed, 0);
    ASSERT_EQ(ftruncate(sealed, 0x60000), 0);
    ASSERT_EQ(fcntl(sealed, F_ADD_SEALS, F_SEAL_WRITE), 0);
    places.mem = "/proc/self/fd/" + std::to_string(sealed);
    remake();
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_EQ(msg.substr(0, msg.find('\n') + 1),
              "ERROR: cannot map the register window at 0x10000 through " + places.mem +
                  ": Operation not permitted (root and a kernel that allows mapping device memory are needed)\n");
    EXPECT_NE(msg.find("The driver rwnic is bound to 0003:7f:1f.7 and holds its registers"), std::string::npos) << msg;
    EXPECT_NE(msg.find("\n  echo 0003:7f:1f.7 > /sys/bus/pci/drivers/rwnic/unbind\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("\n  echo 0003:7f:1f.7 > /sys/bus/pci/drivers/rwnic/bind\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("iomem=relaxed"), std::string::npos) << msg;
    EXPECT_EQ(msg.find("locked down"), std::string::npos) << msg;
    close(sealed);
}

// The lockdown file names the modes and brackets the selected one; integrity
// and confidentiality close /dev/mem, whatever driver is bound.
TEST_F(host_sysfs, a_locked_down_kernel_is_named_instead_of_the_driver) {
    add_device("0000:04:00.0", 0x10000);  // no device-memory file made
    bind_driver("0000:04:00.0", "rwnic");
    const std::string first = "ERROR: cannot open " + places.mem +
                              ": No such file or directory (romwright must run as root, with the right to map device "
                              "memory)\n";
    std::string msg;
    for (const char* mode : {"integrity", "confidentiality"}) {
        write_text(places.lockdown, std::string("none ") + (mode[0] == 'i' ? "[integrity] confidentiality\n"
                                                                            : "integrity [confidentiality]\n"));
        remake();  // the site reads the kernel's mode when it is made
        EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
        EXPECT_EQ(msg, first + "The kernel is locked down (lockdown mode " + mode +
                           " in /sys/kernel/security/lockdown, as secure boot may set it): the lockdown closes "
                           "/dev/mem entirely, so neither unbinding a driver nor iomem=relaxed helps; romwright "
                           "needs a kernel that is not locked down.\n");
    }
    write_text(places.lockdown, "[none] integrity confidentiality\n");
    remake();
    EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
    EXPECT_EQ(msg, first);
}

// Mapped although a driver is bound (a kernel booted with iomem=relaxed): a
// change says, before it starts, that its closing chip reset resets the
// driver's port.  The host maps its window over the ordinary file; the
// simulated adapter answers the registers.
TEST_F(host_sysfs, a_change_under_a_bound_driver_warns_of_the_port_reset_first) {
    struct model_window : register_window {
        sim_adapter& model;
        explicit model_window(sim_adapter& m) : model(m) {}
        uint32_t read32(uint32_t offset) override { return model.read(offset); }
        void write32(uint32_t offset, uint32_t value) override { model.write(offset, value); }
    };
    struct host_with_model : host_platform {
        sim_adapter model{sim_config{}};
        using host_platform::host_platform;
        mapped_window map(const pci_function& fn) override {
            mapped_window mapped = host_platform::map(fn);
            if (std::holds_alternative<devmem_refusal>(mapped))
                return mapped;  // the host could not map it
            return std::make_unique<model_window>(model);
        }
        int64_t clock_us(const pci_function&) override { return model.now_us(); }
        bool sleep_until_us(const pci_function&, int64_t) override { return false; }
    };
    struct notes : observer {
        std::vector<std::string> seen;
        void notify(const notice& n) override { seen.push_back(notice_text(n)); }
    };
    add_device("0000:04:00.0", 0x10000);
    bind_driver("0000:04:00.0", "rwnic");
    make_mem(0x60000, 0, 0);
    host_with_model p(places);
    notes told;
    {
        std::unique_ptr<adapter_session> s = open_adapter(p, where, bdf(4, 0, 0), told);
        request rq;
        rq.command = find_command("clearinit");
        run_outcome out;
        run_on_session(*s, rq, nullptr, out);
    }
    EXPECT_EQ(p.model.chip_resets(), 1u);
    ASSERT_FALSE(told.seen.empty());
    EXPECT_EQ(told.seen.front(), "romwright: the chip reset at the end of this change resets the port of driver rwnic "
                                 "bound to 0000:04:00.0\n");
    EXPECT_EQ(told.seen.size(), 2u);  // then the backup's note
}

TEST_F(host_sysfs, a_function_without_memory_bar0_is_not_mapped) {
    // Mapping BAR0 = 0 through /dev/mem would reach system memory.
    add_device("0000:7f:1f.7", 0, 0);
    add_device("0000:7f:1f.6", 0xe000, 0x40101);  // an I/O BAR
    make_mem(0x60000, 0, 0);
    for (int func : {7, 6}) {
        std::string msg;
        EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, func), &msg), EXIT_STATUS_FAILED);
        EXPECT_NE(msg.find("no memory BAR0"), std::string::npos) << msg;
        EXPECT_FALSE(access(dir.file("lock/romwright-0000:7f:1f.lock").c_str(), F_OK) == 0);
    }
}

TEST_F(host_sysfs, memory_decoding_off_maps_nothing_and_names_the_remedy) {
    add_device("0003:7f:1f.7", 0x10000, 0x140204, "0x1e2c", "0x8001", 0x0004);
    make_mem(0x60000, 0, 0);
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("memory decoding is off for the PCI function at 0003:7f:1f.7"), std::string::npos) << msg;
    EXPECT_NE(msg.find("echo 1 > /sys/bus/pci/devices/0003:7f:1f.7/enable"), std::string::npos) << msg;
    EXPECT_FALSE(access(dir.file("lock/romwright-0003:7f:1f.lock").c_str(), F_OK) == 0);
}

// A misspelt address naming another maker's function: refused before the
// lock and the mapping, so not one of its registers is written.
TEST_F(host_sysfs, another_vendors_function_is_refused_before_anything_is_mapped) {
    struct foreign {
        int bus;
        const char *vendor, *device, *named;
    };
    const uint64_t bar = 0x10000;
    make_mem(bar + REGISTER_WINDOW_SIZE, bar + VPD_TIMER, 0x01F40C35);
    for (const foreign& f : {foreign{1, "0x8086", "0x1533", "vendor:device 8086:1533"},
                             foreign{2, "0x10de", "0x1db6", "vendor:device 10de:1db6"},
                             foreign{3, "0x1e2d", "0x8001", "vendor:device 1e2d:8001"}}) {
        add_device(strprintf("0000:%02x:00.0", f.bus), bar, 0x140204, f.vendor, f.device);
        std::string msg;
        EXPECT_EQ(expect_refusal(adapter_address{true, 0, f.bus, 0, 0}, &msg), EXIT_STATUS_FAILED);
        EXPECT_NE(msg.find(f.named), std::string::npos) << msg;
        EXPECT_FALSE(access(dir.file("lock").c_str(), F_OK) == 0);  // not even the lock folder
        // The would-be VPD timer keeps its upper half: nothing was written.
        const std::vector<uint8_t> mem = read_file(dir.file("mem"));
        EXPECT_EQ(mem[bar + VPD_TIMER + 2], 0xF4);
        EXPECT_EQ(mem[bar + VPD_TIMER + 3], 0x01);
    }
}

TEST_F(host_sysfs, no_match_maps_nothing) {
    add_device("0000:04:00.0", 0x10000);
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(0x7f, 0x1f, 7), &msg), EXIT_STATUS_FAILED);
    EXPECT_EQ(msg, "Unable to find device  1e2c:*\n");
    EXPECT_FALSE(access(dir.file("lock").c_str(), F_OK) == 0);  // not even the lock folder
}

// list over the fake tree: only the served vendor's functions, with the IDs
// and driver the scan reads from sysfs and the state of each adapter's
// lock in the site's lock folder.
TEST_F(host_sysfs, list_shows_the_adapters_ids_driver_and_lock) {
    add_device("0000:04:00.0", 0x10000);
    add_device("0003:7f:1f.7", 0x00002000FEDCB000ull, 0x140204, "0x1e2c", "0x8002");
    add_device("0000:00:1c.2", 0x20000, 0x140204, "0x8086", "0x1234");
    mkdir(dir.file("sys/drivers").c_str(), 0755);
    mkdir(dir.file("sys/drivers/rwnic").c_str(), 0755);
    ASSERT_EQ(symlink("../../drivers/rwnic", dir.file("sys/devices/0000:04:00.0/driver").c_str()), 0);

    // Another run holds the second adapter.
    pci_function held{3, 0x7f, 0x1f, 7, 0x00002000FEDCB00Cull};
    adapter_lock lock;
    ASSERT_EQ(adapter_lock::take(where, held, lock), adapter_lock::outcome::locked);
    const list_result listed = list_adapters(*host, where, quiet);
    const std::string out = render_list_text(listed);
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "0000:04:00.0  1e2c:8001  BAR0 0x10000  driver rwnic  not in use",
                         "0003:7f:1f.7  1e2c:8002  BAR0 0x2000fedcb000  driver none  in use by another romwright run",
                     }));

    const json_value adapters = list_json(listed);
    ASSERT_EQ(adapters.size(), 2u);
    for (const json_value& a : adapters) {
        const bool first = a["address"] == "0000:04:00.0";
        EXPECT_EQ(a["device"], first ? "8001" : "8002");
        EXPECT_EQ(a["driver"], first ? json_value("rwnic") : json_value(nullptr));
        EXPECT_EQ(a["in_use"], !first);
    }
}

TEST_F(host_sysfs, list_without_the_vendors_functions_finds_none) {
    add_device("0000:00:1c.2", 0x20000, 0x140204, "0x8086", "0x1e2c");
    const list_result listed = list_adapters(*host, where, quiet);
    EXPECT_EQ(render_list_text(listed), "No PCI function with vendor ID 1e2c found\n");
    EXPECT_TRUE(listed.adapters.empty());
}

// What a POWER kernel shows of the function's EEH state, when it shows any.
TEST_F(host_sysfs, slot_state_is_the_first_line_of_the_function_s_eeh_pe_state) {
    add_device("0003:7f:1f.7", 0x10000);
    const pci_function fn = {3, 0x7f, 0x1f, 7, 0x10000};
    EXPECT_EQ(slot_state_path(where, fn), dir.file("sys/devices/0003:7f:1f.7/eeh_pe_state"));
    EXPECT_EQ(slot_state(where, fn), std::nullopt);
    write_text(dir.file("sys/devices/0003:7f:1f.7/eeh_pe_state"), "0x00000000 0x00000001\n");
    EXPECT_EQ(slot_state(where, fn), std::optional<std::string>("0x00000000 0x00000001"));
}

// The kernel's VPD file under the site's sysfs root: read once, at most
// the VPD space, or the step and errno that refused it.
TEST_F(host_sysfs, the_kernel_vpd_file_is_read_bounded_or_refused_with_its_errno) {
    add_device("0003:7f:1f.7", 0x10000);
    const pci_function fn = {3, 0x7f, 0x1f, 7, 0x10000};
    const std::string vpd = dir.file("sys/devices/0003:7f:1f.7/vpd");
    EXPECT_EQ(kernel_vpd_path(where, fn), vpd);
    std::vector<uint8_t> big(40000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 13);
    write_file(dir.file("copy0"), std::vector<uint8_t>(big.begin(), big.begin() + 107));
    struct one_case {
        const char* what;
        std::function<void()> make;  // what stands at vpd
        size_t size;                 // bytes read, or
        vpd_file_step step;          // the refusal
        int err;
    };
    const one_case cases[] = {
        {"a sized file", [&] { write_file(vpd, std::vector<uint8_t>(big.begin(), big.begin() + 107)); }, 107,
         vpd_file_step::open, 0},
        {"more than the VPD space", [&] { write_file(vpd, big); }, VPD_FILE_MAX, vpd_file_step::open, 0},
        {"no such file", [] {}, 0, vpd_file_step::open, ENOENT},
        {"a link", [&] { ASSERT_EQ(symlink(dir.file("copy0").c_str(), vpd.c_str()), 0); }, 0, vpd_file_step::open,
         ELOOP},
        {"a dangling link", [&] { ASSERT_EQ(symlink(dir.file("gone").c_str(), vpd.c_str()), 0); }, 0,
         vpd_file_step::open, ELOOP},
        {"a folder", [&] { ASSERT_EQ(mkdir(vpd.c_str(), 0755), 0); }, 0, vpd_file_step::read, EISDIR},
        {"a FIFO nobody writes", [&] { ASSERT_EQ(mkfifo(vpd.c_str(), 0600), 0); }, 0, vpd_file_step::read, ENODEV},
        {"a device node", [&] { ASSERT_EQ(mknod(vpd.c_str(), S_IFCHR | 0600, makedev(1, 5)), 0); }, 0,
         vpd_file_step::read, ENODEV},  // /dev/zero's numbers: endless bytes
    };
    for (const one_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (::unlink(vpd.c_str()) != 0)
            ::rmdir(vpd.c_str());
        c.make();
        const vpd_file f = host->read_vpd_file(where, fn);
        if (c.err == 0) {
            ASSERT_TRUE(std::holds_alternative<std::vector<uint8_t>>(f));
            EXPECT_EQ(std::get<std::vector<uint8_t>>(f), std::vector<uint8_t>(big.begin(), big.begin() + c.size));
        } else {
            ASSERT_TRUE(std::holds_alternative<vpd_file_refusal>(f));
            EXPECT_EQ(std::get<vpd_file_refusal>(f).step, c.step);
            EXPECT_EQ(std::get<vpd_file_refusal>(f).err, c.err);
        }
    }
}

// Under a bound driver, with no device-memory file at all: the function
// found as open_adapter finds it, its lock taken and given back, the file
// read.
TEST_F(host_sysfs, the_kernel_vpd_is_read_without_device_memory) {
    add_device("0000:04:00.0", 0x10000);
    bind_driver("0000:04:00.0", "rwnic");
    const std::vector<uint8_t> copy0 = {0x82, 0x01, 0x00, 'X', 0x78};
    write_file(dir.file("sys/devices/0000:04:00.0/vpd"), copy0);
    const kernel_vpd v = read_kernel_vpd(*host, where, bdf(4, 0, 0));
    EXPECT_EQ(v.bytes, copy0);
    EXPECT_EQ(v.function.driver, "rwnic");
    EXPECT_TRUE(lock_is_free("0000:04:00"));
    EXPECT_NE(access(dir.file("lock/romwright-0000:04:00.lock").c_str(), F_OK), -1);
    EXPECT_EQ(access(places.mem.c_str(), F_OK), -1);
}

// Reading the EEPROM into the device-memory file would write physical
// memory: read refuses it under any name.
TEST_F(host_sysfs, the_device_memory_file_is_a_platform_file) {
    make_mem(0x1000, 0, 0);
    ASSERT_EQ(symlink(dir.file("mem").c_str(), dir.file("alias").c_str()), 0);
    write_text(dir.file("other"), "");
    EXPECT_EQ(platform_file_named(where, dir.file("mem")), "the device-memory file");
    EXPECT_EQ(platform_file_named(where, dir.file("alias")), "the device-memory file " + dir.file("mem"));
    EXPECT_EQ(platform_file_named(where, dir.file("other")), "");
    EXPECT_EQ(platform_file_named(where, dir.file("missing")), "");
}

// The lock folder belongs to root alone: a file or link that another user
// planted where a lock would be, at the old shared place or the new one,
// neither stops a run for good nor redirects the lock.
TEST_F(host_sysfs, planted_lock_files_and_links_are_refused_or_harmless) {
    add_device("0000:04:00.0", 0x10000);
    make_mem(0x60000, 0, 0);
    const pci_function fn{0, 4, 0, 0, 0x10000};
    adapter_lock lock;
    // The folder is made with mode 0700.
    ASSERT_EQ(adapter_lock::take(where, fn, lock), adapter_lock::outcome::locked);
    struct stat st;
    ASSERT_EQ(lstat(dir.file("lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    lock = adapter_lock();

    // A link planted at the lock's name: refused, its target untouched.
    const std::string name = dir.file("lock/romwright-0000:04:00.lock");
    ASSERT_EQ(unlink(name.c_str()), 0);
    write_text(dir.file("target"), "keep");
    ASSERT_EQ(symlink(dir.file("target").c_str(), name.c_str()), 0);
    std::string msg;
    EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("is a symbolic link"), std::string::npos) << msg;
    EXPECT_EQ(read_text(dir.file("target")), "keep");
    ASSERT_EQ(unlink(name.c_str()), 0);

    // A file of another user at the lock's name, held locked by them.
    write_text(name, "");
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("belongs to user 65534"), std::string::npos) << msg;
    ASSERT_EQ(unlink(name.c_str()), 0);

    // A folder others may write, or a link in the folder's place: refused.
    ASSERT_EQ(chmod(dir.file("lock").c_str(), 01777), 0);
    EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("others may write the folder"), std::string::npos) << msg;
    ASSERT_EQ(rmdir(dir.file("lock").c_str()), 0);
    mkdir(dir.file("elsewhere").c_str(), 0700);
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("lock").c_str()), 0);
    EXPECT_EQ(expect_refusal(bdf(4, 0, 0), &msg), EXIT_STATUS_FAILED);
    EXPECT_NE(msg.find("not a folder"), std::string::npos) << msg;
    ASSERT_EQ(unlink(dir.file("lock").c_str()), 0);

    // The old shared place, world-writable, is not used at all: a lock held
    // there by anyone stops nothing.
    mkdir(dir.file("run-lock").c_str(), 01777);
    const int planted = ::open(dir.file("run-lock/romwright-0000:04:00.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(planted, 0);
    ASSERT_EQ(flock(planted, LOCK_EX), 0);
    EXPECT_NE(open(bdf(4, 0, 0)), nullptr);
    close(planted);
}

}  // namespace

namespace {

// The site's list of approved images applies once it lists a digest: the
// packages install it holding comments only, which refuses nothing.
TEST_F(host_sysfs, the_sites_approved_list_applies_once_it_lists_a_digest) {
    places.approved_list = dir.file("approved-images");
    remake();
    write_file(dir.file("img.bin"), std::vector<uint8_t>(SEEPROM_SIZE, 0xFF));
    request rq;
    rq.command = find_command("write");
    rq.type = image_type::full;
    rq.file = dir.file("img.bin");
    rq.file_given = true;
    rq.change.no_backup = true;
    const struct {
        const char* list;
        bool refused;
    } cases[] = {{"# no digest yet\n\n", false}, {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa  other.bin\n", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        write_text(places.approved_list, c.list);
        bool refused = false;
        try {
            prepare_command(rq, where, quiet);
        } catch (const failure& f) {
            refused = f.kind() == error_kind::refused;
        }
        EXPECT_EQ(refused, c.refused);
    }
}

}  // namespace
