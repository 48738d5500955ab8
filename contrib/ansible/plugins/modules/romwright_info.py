#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: romwright_info
short_description: Gather the network adapters of a host and their VPD with romwright
description:
  - Lists every adapter of the managed host with C(romwright list -json) and
    reads each one's VPD with C(romwright -b ADDRESS vpd -json), then sets
    them as the fact C(romwright) (C(ansible_facts.romwright.adapters)).
  - Changes nothing; C(vpd) only reads the 14 VPD copies of the EEPROM, or,
    on an adapter in service (a kernel driver bound, a locked-down kernel),
    copy 0 alone through the kernel's VPD file, touching no register; the
    C(vpd) document's C(via) says which (C(registers) or C(kernel)) and
    C(copies_read) how many copies were read.
  - An adapter whose VPD cannot be read (in use by another romwright run,
    not answering) is still listed, with C(vpd) null and the reason in
    C(vpd_error); only a failure of C(list) itself fails the task.
version_added: "1.0.0"
options: {}
notes:
  - Supports check mode (it changes nothing either way).
  - Needs root on a real host; use C(become) where the connection is not
    root.
requirements:
  - romwright (or romwright-sim) on the managed host
seealso:
  - module: romwright.eeprom.romwright_image
extends_documentation_fragment:
  - romwright.eeprom.executable
author:
  - The romwright developers (@romwright)
'''

EXAMPLES = r'''
- name: Gather the adapters and their VPD
  romwright.eeprom.romwright_info:
  become: true

- name: Serial number of every adapter
  ansible.builtin.debug:
    msg: "{{ item.address }}: {{ item.vpd.summary.serial_number.value | default('unreadable') }}"
  loop: "{{ ansible_facts.romwright.adapters }}"

- name: Stop where an adapter's VPD copies do not all agree
  ansible.builtin.assert:
    that: item.vpd_status == 0
  loop: "{{ ansible_facts.romwright.adapters }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts gathered.
  returned: always
  type: complex
  contains:
    romwright:
      description: What romwright found on the host.
      returned: always
      type: complex
      contains:
        adapters:
          description:
            - One entry per PCI function of the adapters' vendor, as C(list -json)
              gives it (C(address), C(vendor), C(device), C(bar0), C(driver),
              C(in_use)), with its VPD added. Empty when the host has none.
          returned: always
          type: list
          elements: dict
          contains:
            address:
              description: Full PCI address.
              type: str
              sample: "0000:04:00.0"
            vpd:
              description:
                - The C(vpd -json) document (C(copies), C(summary), C(via),
                  C(copies_read), and C(interrupted) while the journal of an
                  unfinished change stands), or null when the VPD could not
                  be read.
              type: dict
            vpd_status:
              description:
                - romwright's exit status for C(vpd) (0 when all 14 copies are
                  good and agree, or, through the kernel's VPD file, when copy
                  0 is good; 1 otherwise or when it could not be read).
              type: int
            vpd_error:
              description: Why the VPD could not be read.
              returned: when the VPD could not be read
              type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.romwright.eeprom.plugins.module_utils.romwright import interrupted_warning, resolve_executable, run_romwright


def main():
    module = AnsibleModule(
        argument_spec=dict(
            executable=dict(type='list', elements='str', default=['romwright']),
        ),
        supports_check_mode=True,
    )
    romwright = resolve_executable(module, module.params['executable'])

    cmd = romwright + ['list', '-json']
    doc, rc, err = run_romwright(module, cmd)
    # No adapter at all is status 1 with an empty list: a fact, not a failure.
    if not isinstance(doc.get('adapters'), list) or 'error' in doc:
        module.fail_json(msg='romwright: %s' % doc.get('error', 'list failed with status %s' % rc),
                         cmd=cmd, rc=rc, stderr=err)

    adapters = []
    for entry in doc['adapters']:
        adapter = dict(entry)
        vcmd = romwright + ['-b', entry['address'], 'vpd', '-json']
        vdoc, vrc, verr = run_romwright(module, vcmd)
        adapter['vpd_status'] = vdoc.get('status', vrc)
        if 'error' in vdoc:
            adapter['vpd'] = None
            adapter['vpd_error'] = vdoc['error']
        else:
            adapter['vpd'] = vdoc
            warning = interrupted_warning(entry['address'], vdoc.get('interrupted'))
            if warning:
                module.warn(warning)
        adapters.append(adapter)

    module.exit_json(changed=False, ansible_facts=dict(romwright=dict(adapters=adapters)))


if __name__ == '__main__':
    main()
