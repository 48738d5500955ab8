// Matching -b against the host's PCI functions, and the BAR address.
#include "adapter/adapter.h"
#include "unit_support.h"

namespace {

pci_function fn(uint32_t domain, uint8_t bus, uint8_t dev, uint8_t func, uint64_t bar = 0) {
    return pci_function{domain, bus, dev, func, bar};
}

std::vector<uint32_t> domains(const std::vector<pci_function>& v) {
    std::vector<uint32_t> out;
    for (const pci_function& f : v)
        out.push_back(f.domain);
    return out;
}

TEST(match_pci_functions, keeps_every_match_in_list_order) {
    const std::vector<pci_function> list = {fn(5, 4, 0, 0), fn(0, 4, 0, 1), fn(0, 3, 0, 0), fn(0, 4, 0, 0),
                                            fn(2, 4, 0, 0)};
    EXPECT_EQ(domains(match_pci_functions(list, {false, 0, 4, 0, 0})), (std::vector<uint32_t>{5, 0, 2}));
    EXPECT_EQ(domains(match_pci_functions(list, {true, 2, 4, 0, 0})), (std::vector<uint32_t>{2}));
    EXPECT_EQ(domains(match_pci_functions(list, {true, 0, 4, 0, 0})), (std::vector<uint32_t>{0}));
    EXPECT_TRUE(match_pci_functions(list, {true, 7, 4, 0, 0}).empty());
}

TEST(match_pci_functions, numbers_above_255_match_nothing) {
    const std::vector<pci_function> list = {fn(0, 4, 0, 0), fn(0, 0xFF, 0x1F, 7)};
    for (adapter_address a : {adapter_address{false, 0, 0x104, 0, 0}, adapter_address{false, 0, 4, 0x100, 0},
                              adapter_address{false, 0, 4, 0, 0x100}, adapter_address{false, 0, -1, 0x1F, 7}})
        EXPECT_TRUE(match_pci_functions(list, a).empty()) << a.bus << ":" << a.slot << "." << a.function;
    EXPECT_EQ(match_pci_functions(list, {false, 0, 0xFF, 0x1F, 7}).size(), 1u);
}

TEST(bar0_physical, clears_the_four_flag_bits_at_full_width) {
    EXPECT_EQ(bar0_physical(0x00003FE080000004ull), 0x00003FE080000000ull);
    EXPECT_EQ(bar0_physical(0xFFFFFFFF0000000Full), 0xFFFFFFFF00000000ull);
    EXPECT_EQ(bar0_physical(0x0000000400000000ull), 0x0000000400000000ull);
}

}  // namespace
