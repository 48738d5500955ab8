# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

"""Filters of audit.yml: every board of the hosts from the facts of
romwright_info, the identities that two boards share, and a table.

A board is one PCI device of one host: the functions of a device share its
EEPROM, hence its identity, and count once. Blank identities (no good VPD
copy holds the field, or a value of only spaces, zeros, 0x00 or 0xFF bytes,
or for the MAC address FFFFFFFFFFFF) are never shared."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import re

FIELDS = (('mac_address', 'MAC address'), ('serial_number', 'serial number'))
# As romwright's JSON renders the bytes: \xNN for those not printable.
BLANK = re.compile(r'(?:\\x00)*|(?:\\xff)*|0*', re.IGNORECASE)
BLANK_MAC = re.compile(r'F*', re.IGNORECASE)


def is_blank(field, value):
    if not isinstance(value, str):
        return True
    rest = value.replace(' ', '')
    return bool(BLANK.fullmatch(rest) or (field == 'mac_address' and BLANK_MAC.fullmatch(rest)))


# One shown byte: an escaped backslash, a \xNN, or a character.
SHOWN_BYTE = re.compile(r'\\\\|\\x[0-9a-fA-F]{2}|.', re.DOTALL)


def shown(field, value):
    """The value as compared, as romwright compares it: NUL and blank
    padding dropped at either end, a MAC address in capitals."""
    shown_bytes = SHOWN_BYTE.findall(value)
    padding = (' ', '\\x00')
    while shown_bytes and shown_bytes[0] in padding:
        shown_bytes.pop(0)
    while shown_bytes and shown_bytes[-1] in padding:
        shown_bytes.pop()
    value = ''.join(shown_bytes)
    return value.upper() if field == 'mac_address' else value


def device(address):
    """domain:bus:slot of a function's address."""
    return address.rsplit('.', 1)[0] if isinstance(address, str) else address


def adapters_of(vars_of_host):
    facts = vars_of_host.get('ansible_facts') or {}
    romwright = facts.get('romwright')
    if not isinstance(romwright, dict) or not isinstance(romwright.get('adapters'), list):
        return None
    return romwright['adapters']


def romwright_boards(hostvars, hosts):
    """One row per adapter function of each host, in host then address order:
    host, address, part_number, serial_number, mac_address (each a summary
    value, None when unread or absent), blank (the fields that are blank),
    vpd (good, copy 0 good (kernel) when read through the kernel's VPD file
    (a driver bound: copy 0 alone), not all good: status N, or why it was not
    read)."""
    rows = []
    for host in hosts:
        adapters = adapters_of(hostvars[host])
        if adapters is None:
            rows.append(dict(host=host, address=None, part_number=None, serial_number=None, mac_address=None,
                             blank=[], vpd='no facts gathered'))
            continue
        for a in sorted(adapters, key=lambda a: a.get('address') or ''):
            vpd = a.get('vpd')
            row = dict(host=host, address=a.get('address'), blank=[])
            summary = vpd.get('summary') if isinstance(vpd, dict) else None
            for field in ('part_number', 'serial_number', 'mac_address'):
                value = ((summary or {}).get(field) or {}).get('value')
                row[field] = value
                if summary is not None and is_blank(field, value):
                    row['blank'].append(field)
            if summary is None:
                row['vpd'] = a.get('vpd_error') or 'not read'
            else:
                status = a.get('vpd_status')
                good = 'copy 0 good (kernel)' if vpd.get('via') == 'kernel' else 'good'
                row['vpd'] = good if status == 0 else 'not all good: status %s' % status
            rows.append(row)
    return rows


def romwright_duplicates(rows):
    """The identities on more than one board: field, name, value and the
    boards' functions (host, address), ordered by field and value."""
    found = []
    for field, name in FIELDS:
        by_value = {}
        for r in rows:
            value = r.get(field)
            if r.get('address') is None or field in r.get('blank', []) or not isinstance(value, str):
                continue
            by_value.setdefault(shown(field, value), []).append(r)
        for value in sorted(by_value):
            holders = by_value[value]
            if len(set((r['host'], device(r['address'])) for r in holders)) > 1:
                found.append(dict(field=field, name=name, value=value,
                                  adapters=[dict(host=r['host'], address=r['address']) for r in holders]))
    return found


def romwright_duplicates_message(duplicates):
    """One sentence per shared identity, naming its boards."""
    return '; '.join('%s %s on %d boards: %s' % (
        d['name'], d['value'], len(set((a['host'], device(a['address'])) for a in d['adapters'])),
        ', '.join('%s %s' % (a['host'], a['address']) for a in d['adapters'])) for d in duplicates)


def romwright_table(rows):
    """The rows as aligned lines under a heading."""
    def cell(r, field):
        if field in r['blank']:
            return '(blank)'
        return '-' if r.get(field) is None else shown(field, r[field]) or '(blank)'
    lines = [('HOST', 'ADAPTER', 'PART NUMBER', 'SERIAL NUMBER', 'MAC ADDRESS', 'VPD')]
    for r in rows:
        lines.append((r['host'], r.get('address') or '-', cell(r, 'part_number'), cell(r, 'serial_number'),
                      cell(r, 'mac_address'), r.get('vpd', '')))
    widths = [max(len(line[i]) for line in lines) for i in range(5)]
    return ['  '.join([c.ljust(w) for c, w in zip(line, widths)] + [line[5]]).rstrip() for line in lines]


class FilterModule(object):

    def filters(self):
        return dict(romwright_boards=romwright_boards, romwright_duplicates=romwright_duplicates,
                    romwright_duplicates_message=romwright_duplicates_message, romwright_table=romwright_table)
