// 32-bit accesses to little-endian device registers through a mapping.
//
// This is the one place where byte order is handled: the registers are
// little-endian, the caller always gets and gives the register's numeric
// value.  On POWER the accesses follow the discipline of the Linux kernel's
// in_le32()/out_le32(): POWER is weakly ordered, so a full `sync` before each
// access keeps it behind every earlier load and store (the request word must
// reach the adapter before its data access), and after a load the
// `twi 0,%0,0; isync` pair makes later instructions wait until the loaded
// value has arrived (a poll loop cannot run ahead of the register).  On
// big-endian POWER the byte-reversed lwbrx/stwbrx do the exchange within the
// single access.  Elsewhere (the build and test hosts) a volatile access with
// a compiler barrier keeps program order, with an explicit swap on
// big-endian hosts.
#pragma once

#include <cstdint>

#if defined(__powerpc64__) || defined(__powerpc__)

inline uint32_t mmio_read32(const volatile void* addr) {
    uint32_t v;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    __asm__ __volatile__("sync\n\tlwbrx %0,0,%1\n\ttwi 0,%0,0\n\tisync"
                         : "=r"(v)
                         : "r"(addr)
                         : "memory");
#else
    __asm__ __volatile__("sync\n\tlwz %0,0(%1)\n\ttwi 0,%0,0\n\tisync"
                         : "=r"(v)
                         : "b"(addr)
                         : "memory");
#endif
    return v;
}

inline void mmio_write32(volatile void* addr, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    __asm__ __volatile__("sync\n\tstwbrx %0,0,%1" : : "r"(v), "r"(addr) : "memory");
#else
    __asm__ __volatile__("sync\n\tstw %0,0(%1)" : : "r"(v), "b"(addr) : "memory");
#endif
}

#else

inline uint32_t mmio_le_to_host(uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap32(v);
#else
    return v;
#endif
}

inline uint32_t mmio_read32(const volatile void* addr) {
    __asm__ __volatile__("" ::: "memory");
    uint32_t v = *static_cast<const volatile uint32_t*>(addr);
    __asm__ __volatile__("" ::: "memory");
    return mmio_le_to_host(v);
}

inline void mmio_write32(volatile void* addr, uint32_t v) {
    __asm__ __volatile__("" ::: "memory");
    *static_cast<volatile uint32_t*>(addr) = mmio_le_to_host(v);
    __asm__ __volatile__("" ::: "memory");
}

#endif
