// Adapters in service in the front end: the device's bound functions, and
// a window the kernel refuses (with no driver and no lockdown to tell it
// beforehand) sending vpd to the kernel's VPD file.
#include <cerrno>

#include "romwright/command_rows.h"
#include "romwright/in_service.h"
#include "romwright/messages.h"
#include "unit_support.h"

namespace {

pci_function fn(uint8_t bus, uint8_t dev, uint8_t func, const char* driver) {
    pci_function f{0, bus, dev, func, 0x3fe080000000, 0x1e2c, 0x8001};
    f.driver = driver;
    return f;
}

TEST(functions_in_service, are_the_bound_functions_of_the_same_slot) {
    const std::vector<pci_function> all = {fn(4, 0, 0, ""), fn(4, 0, 1, "rwnic"), fn(4, 1, 0, "rwnic"),
                                           fn(5, 0, 1, "other")};
    const std::vector<pci_function> bound = functions_in_service(all, all[0]);
    ASSERT_EQ(bound.size(), 1u);  // the other function of slot 0, not slot 1 or bus 5
    EXPECT_EQ(function_address(bound[0]), "0000:04:00.1");
    EXPECT_TRUE(functions_in_service(all, fn(6, 0, 0, "")).empty());
    EXPECT_EQ(functions_in_service(all, all[2]).size(), 1u);
}

// The simulated host with every mapping refused, as a kernel does that
// protects claimed registers it has no driver to name.
class refusing : public sim_platform {
public:
    using sim_platform::sim_platform;
    mapped_window map(const pci_function&) override { return devmem_refusal{devmem_step::map, EPERM}; }
};

TEST(run_on_adapter, a_refused_window_sends_vpd_to_the_kernel_file_unless_registers_were_asked) {
    sim_config cfg;
    cfg.trace_memory = true;
    refusing p(cfg);
    const pci_function f = p.scan().at(0);
    std::unique_ptr<observer> obs = make_text_observer(nullptr, stderr);
    request rq;
    rq.command = find_command("vpd");
    run_outcome o;
    run_on_adapter(p, p.where(), rq, f, nullptr, nullptr, *obs, o);
    ASSERT_TRUE(o.vpd_path);
    EXPECT_EQ(o.vpd_path->via, vpd_source::kernel);
    EXPECT_EQ(o.vpd_path->why, vpd_read_path::cause::refused);
    EXPECT_EQ(o.vpd_path->copies_read, 1u);
    EXPECT_EQ(o.kind, error_kind::none);
    EXPECT_TRUE(p.model().trace().empty());

    rq.via = vpd_source_choice::registers;
    run_outcome asked;
    try {
        run_on_adapter(p, p.where(), rq, f, nullptr, nullptr, *obs, asked);
        FAIL() << "-via registers read through a refused window";
    } catch (const failure& e) {
        EXPECT_NE(message_of(e).find("cannot map the register window"), std::string::npos);
    }
    ASSERT_TRUE(asked.vpd_path);
    EXPECT_EQ(asked.vpd_path->via, vpd_source::registers);
}

// A kernel that sizes copy 0 to nothing: an empty file is a blank copy 0,
// said as such, and a failed check.
class empty_file : public sim_platform {
public:
    using sim_platform::sim_platform;
    vpd_file read_vpd_file(const site&, const pci_function&) override { return std::vector<uint8_t>(); }
};

TEST(run_on_adapter, an_empty_kernel_file_is_a_blank_copy_0) {
    sim_config cfg;
    cfg.driver = "rwnic";
    empty_file p(cfg);
    std::unique_ptr<observer> obs = make_text_observer(nullptr, stderr);
    request rq;
    rq.command = find_command("vpd");
    run_outcome o;
    run_on_adapter(p, p.where(), rq, p.scan().at(0), nullptr, nullptr, *obs, o);
    EXPECT_EQ(o.kind, error_kind::failed);
    const std::string text = rq.command->text(rq, o);
    EXPECT_NE(text.find("The kernel's VPD file is empty: copy 0 is blank or missing.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Summary: copy 0 blank (1 of 14 copies read"), std::string::npos) << text;
}

}  // namespace
