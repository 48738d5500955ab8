/*
 * romwright-sim-pci: a PCI function whose BAR0 registers are answered by
 * romwright-sim --serve over a UNIX socket, so that romwright can run
 * unchanged in a guest against the simulated adapter.
 *
 * Copyright (C) the romwright authors
 *
 * This program is free software; you can redistribute it and/or modify it
 * under the terms of the GNU General Public License as published by the Free
 * Software Foundation; either version 2 of the License, or (at your option)
 * any later version.
 *
 * This program is distributed in the hope that it will be useful, but
 * WITHOUT ANY WARRANTY; without even the implied warranty of MERCHANTABILITY
 * or FITNESS FOR A PARTICULAR PURPOSE.  See the GNU General Public License
 * for more details.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 *
 * Properties:
 *   socket     path of the server's UNIX socket (required)
 *   vendor-id  PCI vendor ID (default 0x1e2c)
 *   device-id  PCI device ID (default 0x8001)
 *
 * BAR0 is a 256 KiB 32-bit memory BAR; only whole 32-bit accesses are
 * valid.  The registers are little-endian: every access reaches the server
 * as the register's numeric value, in one 12-byte message of three
 * little-endian 32-bit fields (op, offset, value).  op 0 is a read, which
 * the server answers with the same three fields carrying the value read;
 * op 1 is a write, which it does not answer.  The vCPU waits for the answer
 * of a read, so the guest sees the accesses in program order.  Writes are
 * posted: they are gathered and sent with the next read, or within a
 * millisecond when no read follows, so that a poll loop costs the host one
 * round trip per read.  When the server is gone, reads return all ones and
 * writes are dropped, as for a vanished adapter.
 *
 * Configuration space holds a PCI VPD capability at 0xd0, the only entry of
 * the capability list: its ID and next pointer here, its address/flag word
 * (0xd2) and data dword (0xd4) in the server, reached by ops 2 (read of the
 * dword at 0xd0 or 0xd4, answered like op 0 but with op 2) and 3 (write of
 * that dword, posted like a register write).  The server keeps bits 16-31 of 0xd0 and
 * all of 0xd4; a narrower write there is merged with the dword the server
 * holds.  The guest kernel's own VPD code thus reads and writes the
 * simulated EEPROM through the same model as the register path.
 */

#include "qemu/osdep.h"
#include "hw/pci/pci.h"
#include "hw/qdev-properties.h"
#include "qapi/error.h"
#include "qemu/error-report.h"
#include "qemu/module.h"
#include "qemu/sockets.h"
#include "qemu/timer.h"
#include "qom/object.h"

#define TYPE_ROMWRIGHT_SIM_PCI "romwright-sim-pci"
OBJECT_DECLARE_SIMPLE_TYPE(RomwrightSimPci, ROMWRIGHT_SIM_PCI)

#define RW_BAR0_SIZE 0x40000
#define RW_MSG_SIZE 12
#define RW_OP_READ 0
#define RW_OP_WRITE 1
#define RW_OP_CONFIG_READ 2
#define RW_OP_CONFIG_WRITE 3
#define RW_MAX_POSTED 64
/* The VPD capability: ID, next pointer, address/flag word, data dword. */
#define RW_VPD_CAP 0xd0
#define RW_VPD_CAP_SIZE 8
/* From here to the capability's end the server holds the bytes. */
#define RW_VPD_SERVED (RW_VPD_CAP + 2)
#define RW_VPD_END (RW_VPD_CAP + RW_VPD_CAP_SIZE)

struct RomwrightSimPci {
    PCIDevice parent_obj;
    MemoryRegion bar0;
    char *socket_path;
    uint16_t vendor_id;
    uint16_t device_id;
    int fd;
    /* Posted writes not sent yet, and room for the read that sends them. */
    uint8_t out[RW_MSG_SIZE * (RW_MAX_POSTED + 1)];
    size_t out_len;
    QEMUTimer *flush_timer;
};

static void rw_lost(RomwrightSimPci *s, const char *what)
{
    error_report("romwright-sim-pci: %s %s: %s; the device now reads all ones",
                 what, s->socket_path, strerror(errno ? errno : EPIPE));
    close(s->fd);
    s->fd = -1;
}

static void rw_put(RomwrightSimPci *s, uint32_t op, uint32_t offset, uint32_t value)
{
    uint8_t *m = s->out + s->out_len;

    stl_le_p(m, op);
    stl_le_p(m + 4, offset);
    stl_le_p(m + 8, value);
    s->out_len += RW_MSG_SIZE;
}

/* Sends every message gathered; false when the server is gone. */
static bool rw_flush(RomwrightSimPci *s)
{
    size_t done = 0;

    while (s->fd >= 0 && done < s->out_len) {
        ssize_t k = send(s->fd, s->out + done, s->out_len - done, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            rw_lost(s, "cannot send to");
            break;
        }
        done += k;
    }
    s->out_len = 0;
    return s->fd >= 0;
}

static void rw_flush_timer(void *opaque)
{
    rw_flush(opaque);
}

/* Sends op for offset, with the writes posted before it, and returns the
 * value of the server's answer; all ones when the server is gone. */
static uint32_t rw_ask(RomwrightSimPci *s, uint32_t op, uint32_t offset)
{
    uint8_t m[RW_MSG_SIZE];
    size_t done = 0;

    if (s->fd < 0) {
        return 0xffffffffu;
    }
    rw_put(s, op, offset, 0);
    if (!rw_flush(s)) {
        return 0xffffffffu;
    }
    while (done < sizeof(m)) {
        ssize_t k = recv(s->fd, m + done, sizeof(m) - done, 0);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            errno = k == 0 ? EPIPE : errno;
            rw_lost(s, "no answer from");
            return 0xffffffffu;
        }
        done += k;
    }
    if (ldl_le_p(m) != op || ldl_le_p(m + 4) != offset) {
        errno = EPROTO;
        rw_lost(s, "a wrong answer from");
        return 0xffffffffu;
    }
    return ldl_le_p(m + 8);
}

/* Queues a write; the next read or the timer sends it. */
static void rw_post(RomwrightSimPci *s, uint32_t op, uint32_t offset, uint32_t value)
{
    if (s->fd < 0) {
        return;
    }
    rw_put(s, op, offset, value);
    if (s->out_len == RW_MSG_SIZE * RW_MAX_POSTED) {
        rw_flush(s);
    } else if (s->out_len == RW_MSG_SIZE) {
        timer_mod(s->flush_timer, qemu_clock_get_ms(QEMU_CLOCK_REALTIME) + 1);
    }
}

static uint64_t rw_read(void *opaque, hwaddr addr, unsigned size)
{
    return rw_ask(opaque, RW_OP_READ, addr);
}

static void rw_write(void *opaque, hwaddr addr, uint64_t value, unsigned size)
{
    rw_post(opaque, RW_OP_WRITE, addr, value);
}

static bool rw_served(uint32_t addr, int len)
{
    return addr < RW_VPD_END && addr + len > RW_VPD_SERVED;
}

/* Configuration reads: the served bytes of the VPD capability from the
 * server, one answer per dword touched, the rest as QEMU keeps them. */
static uint32_t rw_config_read(PCIDevice *pdev, uint32_t addr, int len)
{
    RomwrightSimPci *s = ROMWRIGHT_SIM_PCI(pdev);
    uint32_t val = 0, dword = 0, dword_at = 1;
    int i;

    if (!rw_served(addr, len)) {
        return pci_default_read_config(pdev, addr, len);
    }
    for (i = 0; i < len; i++) {
        uint32_t a = addr + i, byte;
        if (!rw_served(a, 1)) {
            byte = pci_default_read_config(pdev, a, 1);
        } else {
            if ((a & ~3u) != dword_at) {
                dword_at = a & ~3u;
                dword = rw_ask(s, RW_OP_CONFIG_READ, dword_at);
            }
            byte = (dword >> (8 * (a & 3))) & 0xff;
        }
        val |= byte << (8 * i);
    }
    return val;
}

/* Configuration writes: the bytes written to the served part of a dword
 * merged into the dword the server holds (asked for only when the write
 * leaves some of its served bytes as they are); the capability's ID and
 * next pointer are read-only.  Accesses are naturally aligned (the
 * hypervisor's configuration calls refuse others): one dword at most. */
static void rw_config_write(PCIDevice *pdev, uint32_t addr, uint32_t val, int len)
{
    RomwrightSimPci *s = ROMWRIGHT_SIM_PCI(pdev);
    uint32_t at = addr & ~3u, served, mask, dword;

    if (!rw_served(addr, len)) {
        pci_default_write_config(pdev, addr, val, len);
        return;
    }
    served = 0xffffffffu << (8 * (MAX(at, RW_VPD_SERVED) - at));
    mask = (len == 4 ? 0xffffffffu : ((1u << (8 * len)) - 1) << (8 * (addr - at))) & served;
    dword = val << (8 * (addr - at));
    if (mask != served) {
        dword = (dword & mask) | (rw_ask(s, RW_OP_CONFIG_READ, at) & ~mask);
    }
    rw_post(s, RW_OP_CONFIG_WRITE, at, dword);
}

static const MemoryRegionOps rw_bar0_ops = {
    .read = rw_read,
    .write = rw_write,
    .endianness = DEVICE_LITTLE_ENDIAN,
    .valid = {
        .min_access_size = 4,
        .max_access_size = 4,
    },
    .impl = {
        .min_access_size = 4,
        .max_access_size = 4,
    },
};

static void rw_realize(PCIDevice *pdev, Error **errp)
{
    RomwrightSimPci *s = ROMWRIGHT_SIM_PCI(pdev);

    if (!s->socket_path) {
        error_setg(errp, "romwright-sim-pci: the socket property is required");
        return;
    }
    if (pci_add_capability(pdev, PCI_CAP_ID_VPD, RW_VPD_CAP, RW_VPD_CAP_SIZE, errp) < 0) {
        return;
    }
    s->fd = unix_connect(s->socket_path, errp);
    if (s->fd < 0) {
        return;
    }
    s->out_len = 0;
    s->flush_timer = timer_new_ms(QEMU_CLOCK_REALTIME, rw_flush_timer, s);
    pci_config_set_vendor_id(pdev->config, s->vendor_id);
    pci_config_set_device_id(pdev->config, s->device_id);
    memory_region_init_io(&s->bar0, OBJECT(s), &rw_bar0_ops, s,
                          "romwright-sim-pci-bar0", RW_BAR0_SIZE);
    pci_register_bar(pdev, 0, PCI_BASE_ADDRESS_SPACE_MEMORY, &s->bar0);
}

static void rw_exit(PCIDevice *pdev)
{
    RomwrightSimPci *s = ROMWRIGHT_SIM_PCI(pdev);

    if (s->flush_timer) {
        rw_flush(s);
        timer_free(s->flush_timer);
        s->flush_timer = NULL;
    }
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
    }
}

static void rw_instance_init(Object *obj)
{
    ROMWRIGHT_SIM_PCI(obj)->fd = -1;
}

static Property rw_properties[] = {
    DEFINE_PROP_STRING("socket", RomwrightSimPci, socket_path),
    DEFINE_PROP_UINT16("vendor-id", RomwrightSimPci, vendor_id, 0x1e2c),
    DEFINE_PROP_UINT16("device-id", RomwrightSimPci, device_id, 0x8001),
    DEFINE_PROP_END_OF_LIST(),
};

static void rw_class_init(ObjectClass *klass, void *data)
{
    DeviceClass *dc = DEVICE_CLASS(klass);
    PCIDeviceClass *k = PCI_DEVICE_CLASS(klass);

    k->realize = rw_realize;
    k->exit = rw_exit;
    k->config_read = rw_config_read;
    k->config_write = rw_config_write;
    k->vendor_id = 0x1e2c;
    k->device_id = 0x8001;
    k->class_id = PCI_CLASS_NETWORK_ETHERNET;
    dc->desc = "network adapter registers served by romwright-sim --serve";
    device_class_set_props(dc, rw_properties);
    set_bit(DEVICE_CATEGORY_NETWORK, dc->categories);
}

static const TypeInfo rw_info = {
    .name = TYPE_ROMWRIGHT_SIM_PCI,
    .parent = TYPE_PCI_DEVICE,
    .instance_size = sizeof(RomwrightSimPci),
    .instance_init = rw_instance_init,
    .class_init = rw_class_init,
    .interfaces = (InterfaceInfo[]) {
        { INTERFACE_CONVENTIONAL_PCI_DEVICE },
        { },
    },
};

static void rw_register_types(void)
{
    type_register_static(&rw_info);
}

type_init(rw_register_types)
