// PCI addresses: an adapter's address as -b gives it, read and written; a
// function's address written and compared.  One place for every layer above.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/platform.h"

// An adapter address as given with -b; without a domain, every domain matches.
struct adapter_address {
    bool has_domain;
    uint32_t domain;
    int32_t bus;
    int32_t slot;
    int32_t function;
};
// Every field the same: the same address as given.
bool operator==(const adapter_address& a, const adapter_address& b);

// "<bus>:<slot>.<function>" or "<domain>:<bus>:<slot>.<function>", each a
// hexadecimal number; text after the function is ignored.
bool parse_adapter_address(const char* text, adapter_address* out);

// Exactly "[DDDD:]BB:SS.F" in hexadecimal, nothing before or after, each
// field within its range (domain 0-ffff, bus 0-ff, slot 0-1f, function
// 0-7): the address of one function (its other fields left as they are in
// the result's defaults); false otherwise.
bool parse_function_address(const std::string& text, pci_function* out);

// Returns the functions of list that match addr, in list order.
std::vector<pci_function> match_pci_functions(const std::vector<pci_function>& list,
                                              const adapter_address& addr);

// "BB:SS.F" or "DDDD:BB:SS.F", as given.
std::string address_text(const adapter_address& a);

// "DDDD:BB:SS.F"
std::string function_address(const pci_function& fn);
// True when a and b are the same function (domain, bus, slot, function).
bool same_function(const pci_function& a, const pci_function& b);
// "DDDD:BB:SS": the slot, the function left out.
std::string slot_address(const pci_function& fn);
