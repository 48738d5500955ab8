// PCI addresses: -b's addresses read and written, functions' addresses
// written and compared.
#include "adapter/pci_address.h"

#include <cctype>

#include "common/error.h"
#include "common/number.h"

namespace {

// A hexadecimal number as scanf's %x reads it; false when no digit is there.
bool scan_hex(const char*& p, uint32_t* value) {
    bool fits;
    return scan_number(p, 16, value, &fits);
}

// Hexadecimal digits from p on, up to the first other character; nullopt
// when there is none or the value exceeds max.
bool hex_field(const char*& p, uint32_t max, uint32_t* value) {
    const char* start = p;
    uint32_t v = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        v = (v << 4) | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (v > max)
            return false;
    }
    *value = v;
    return p != start;
}

}  // namespace

bool parse_function_address(const std::string& text, pci_function* out) {
    uint32_t n[3];
    int count = 0;
    const char* p = text.c_str();
    // Up to three fields before the '.': [domain:]bus:slot.
    bool field = hex_field(p, 0xFFFF, &n[0]);
    while (field) {
        ++count;
        if (*p != ':' || count == 3)
            break;
        ++p;
        field = hex_field(p, 0xFFFF, &n[count]);
    }
    uint32_t func = 0;
    if (!field || *p != '.' || count < 2 || !hex_field(++p, 7, &func) || *p)
        return false;
    const uint32_t bus = n[count - 2], slot = n[count - 1];
    if (bus > 0xFF || slot > 0x1F)
        return false;
    out->domain = count == 3 ? n[0] : 0;
    out->bus = static_cast<uint8_t>(bus);
    out->dev = static_cast<uint8_t>(slot);
    out->func = static_cast<uint8_t>(func);
    return true;
}

std::string function_address(const pci_function& fn) {
    return strprintf("%04x:%02x:%02x.%x", fn.domain, fn.bus, fn.dev, fn.func);
}

bool same_function(const pci_function& a, const pci_function& b) {
    return a.domain == b.domain && a.bus == b.bus && a.dev == b.dev && a.func == b.func;
}

bool parse_adapter_address(const char* text, adapter_address* out) {
    uint32_t n[4];
    const char* p = text;
    // With a domain: four numbers, "D:B:S.F".
    if (scan_hex(p, &n[0]) && *p == ':' && scan_hex(++p, &n[1]) && *p == ':' && scan_hex(++p, &n[2]) &&
        *p == '.' && scan_hex(++p, &n[3])) {
        *out = adapter_address{true, n[0], static_cast<int32_t>(n[1]), static_cast<int32_t>(n[2]),
                               static_cast<int32_t>(n[3])};
        return true;
    }
    p = text;
    if (scan_hex(p, &n[0]) && *p == ':' && scan_hex(++p, &n[1]) && *p == '.' && scan_hex(++p, &n[2])) {
        *out = adapter_address{false, 0, static_cast<int32_t>(n[0]), static_cast<int32_t>(n[1]),
                               static_cast<int32_t>(n[2])};
        return true;
    }
    return false;
}

std::vector<pci_function> match_pci_functions(const std::vector<pci_function>& list,
                                              const adapter_address& addr) {
    std::vector<pci_function> out;
    for (const pci_function& fn : list) {
        // The scan's fields are 8-bit: a bus, slot or function above 255
        // (or negative) matches nothing.
        if (fn.bus == addr.bus && fn.dev == addr.slot && fn.func == addr.function &&
            (!addr.has_domain || fn.domain == addr.domain))
            out.push_back(fn);
    }
    return out;
}

std::string address_text(const adapter_address& a) {
    const std::string bdf = strprintf("%02x:%02x.%x", static_cast<unsigned>(a.bus), static_cast<unsigned>(a.slot),
                                      static_cast<unsigned>(a.function));
    return a.has_domain ? strprintf("%04x:", a.domain) + bdf : bdf;
}

bool operator==(const adapter_address& a, const adapter_address& b) {
    return a.has_domain == b.has_domain && a.domain == b.domain && a.bus == b.bus && a.slot == b.slot &&
           a.function == b.function;
}

std::string slot_address(const pci_function& fn) {
    return strprintf("%04x:%02x:%02x", fn.domain, fn.bus, fn.dev);
}
