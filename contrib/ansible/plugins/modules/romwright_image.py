#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: romwright_image
short_description: Put an EEPROM image on the network adapters of a host with romwright
description:
  - Writes a full, VPD-only or init-only image file into the serial EEPROM of
    one adapter, or of every adapter of the host, by running
    C(romwright -b ADAPTER write -f:IMAGE -json) (C(-fvpd:) or C(-finit:) for
    the other types) on the managed host.
  - romwright keeps each board's identity (part number, serial number, MAC
    address). Before a full or VPD-only image is written, the identity read
    from the board is written into the image file in place, so the file on
    the managed host changes. Keep a pristine copy of a reference image.
  - The task reports C(changed) as romwright reports it, true only when the
    EEPROM's contents changed, so running the same image again reports no
    change.
  - romwright saves the whole EEPROM as a backup before it changes anything;
    the backup's path is returned.
  - A refusal or failure of romwright (any non-zero exit status) fails the
    task with romwright's own message. On an adapter in service (a kernel
    driver bound to any of its functions) romwright refuses every change,
    and with it the plan of I(report_only) and check mode, naming the driver
    and the lines that unbind and bind it; unbind the driver around the task
    (as C(romwright.eeprom.rollout) does).
  - With I(report_only), or in check mode, it reports for each adapter
    whether the image is already on the board, the words that differ and
    the board's identity, changing nothing.
version_added: "1.0.0"
options:
  adapter:
    description:
      - The adapter's PCI address, C(bus:slot.function) or
        C(domain:bus:slot.function) in hexadecimal (for example C(04:00.0) or
        C(0000:04:00.0)), as given to romwright's C(-b).
      - C(all) takes every adapter of the host (needs a romwright that accepts
        C(-b all)); the result is then changed when any adapter changed, and
        the task fails when any adapter failed.
    type: str
    required: true
  image:
    description:
      - Absolute path of the image file on the managed host.
      - For C(type=full) and C(type=vpd) romwright writes the board's
        identity into this file before flashing it, so it must be writable
        (a file nobody may write is left as it is and only the bytes flashed
        get the identity).
    type: path
    required: true
  type:
    description:
      - What the image holds, hence romwright's C(write) argument.
      - C(full) is the whole 32 KiB EEPROM (C(-f:IMAGE)), C(vpd) the VPD area
        (C(-fvpd:IMAGE), 31744 bytes) and C(init) the init region
        (C(-finit:IMAGE), 1024 bytes).
    type: str
    choices: [full, vpd, init]
    default: full
  changed_only:
    description:
      - Write only the words whose EEPROM contents differ from the image
        (romwright's C(-changed)). When false every word of the image is
        written, even when the EEPROM already holds it.
    type: bool
    default: true
  report_only:
    description:
      - Change nothing; return C(report), for each adapter whether the image
        is already on the board, the words that differ from it and the
        board's identity (romwright's C(-plan) with C(-changed)). C(changed)
        is then false, also in check mode.
    type: bool
    default: false
  image_digest:
    description:
      - The image digest the image must have (SHA-256 in hexadecimal, of
        either case), as C(romwright-vpd digest) prints it. The image digest
        masks every VPD copy's identity bytes, so one image has one digest
        whichever board's identity it carries.
      - Before anything else, the module takes the digest of I(image) with
        C(romwright-vpd digest) on the managed host and fails, changing
        nothing and running no romwright, when it differs, naming both.
      - For C(type=full) and C(type=vpd) only (an init region holds no VPD).
    type: str
  vpd_executable:
    description:
      - The romwright-vpd that takes the I(image_digest), a path or a
        program name; a name is looked up first in the folder of the program
        that I(executable) starts, then as I(executable) is.
    type: str
    default: romwright-vpd
notes:
  - Supports check mode. In check mode the module runs romwright with
    C(-plan) and C(-changed) (whatever I(changed_only) says, so that the
    plan counts the words whose contents differ), which reads the EEPROM and
    changes nothing (no backup, no change of the image file). C(changed) is
    then whether the plan has words to write, and C(report) is returned as
    with I(report_only).
  - Supports diff mode (no diff with I(report_only)). The diff shows, for each adapter, the board's
    identity and the plan's regions (init region, each VPD copy, the rest)
    with the number of words that differ from the image, before and after.
    Outside check mode this costs one more read of the EEPROM, for the plan,
    before the write.
  - Needs root on a real host (romwright maps the adapter's registers
    through C(/dev/mem)); use C(become) where the connection is not root.
  - A run that finds the journal of an earlier interrupted change adds a
    warning naming the C(restore) that puts the EEPROM back.
requirements:
  - romwright (or romwright-sim) on the managed host, and romwright-vpd for
    I(image_digest)
seealso:
  - module: romwright.eeprom.romwright_info
extends_documentation_fragment:
  - romwright.eeprom.executable
author:
  - The romwright developers (@romwright)
'''

EXAMPLES = r'''
- name: Flash the reference image, writing only the words that differ
  romwright.eeprom.romwright_image:
    adapter: "0000:04:00.0"
    image: /var/tmp/board-v7.bin
  become: true
  register: flash

- name: Show the backup taken before the write
  ansible.builtin.debug:
    msg: "{{ flash.backup }} ({{ flash.words_written }} words written)"

- name: Put a new init region on every adapter of the host
  romwright.eeprom.romwright_image:
    adapter: all
    image: /var/tmp/init-v2.bin
    type: init
  become: true

- name: Which adapters already hold the image, changing nothing
  romwright.eeprom.romwright_image:
    adapter: all
    image: /var/tmp/board-v7.bin
    report_only: true
  become: true
  register: state

- name: Show the adapters that need it
  ansible.builtin.debug:
    msg: "{{ item.key }}: {{ item.value.words_differing }} words differ"
  loop: "{{ state.report | dict2items | rejectattr('value.image_on_board') }}"

- name: Flash only the approved image
  romwright.eeprom.romwright_image:
    adapter: all
    image: /var/tmp/board-v7.bin
    image_digest: "{{ approved_board_v7_digest }}"
  become: true

- name: Rehearse on the simulated adapter
  romwright.eeprom.romwright_image:
    adapter: "04:00.0"
    image: /tmp/rehearsal/image.bin
    executable: [romwright-sim, --eeprom, /tmp/rehearsal/e.bin, --]
'''

RETURN = r'''
changed:
  description:
    - Whether an EEPROM's contents changed (romwright's C(changed)); in check
      mode, whether the plan has words to write.
  returned: always
  type: bool
adapter:
  description: The adapter's full PCI address (one adapter only).
  returned: when one adapter was written
  type: str
  sample: "0000:04:00.0"
words_written:
  description:
    - The EEPROM words written (each read back); the sum over the adapters
      with several. 0 in check mode.
  returned: always
  type: int
  sample: 1
backup:
  description:
    - Path of the backup of the whole EEPROM taken before the change, or
      null when none was taken (check mode, C(-nobackup)).
    - With several adapters, a dictionary from each adapter's address to its
      backup.
  returned: always
  type: raw
  sample: /var/lib/romwright/backups/0000-04-00.0_PT0123456789_20261208T011500Z.bin
identity_before:
  description:
    - The board's identity read before the write (C(part_number),
      C(serial_number), C(mac_address)), or null when it was not read.
    - With several adapters, a dictionary from each adapter's address to it.
  returned: always
  type: raw
  sample: {"part_number": "1102005SIMA00001", "serial_number": "PTSIM0000000000000012345", "mac_address": "0C4E29000001"}
identity_after:
  description:
    - The board's identity after the write (in check mode, as the plan
      would leave it), or null when the write did not get that far.
    - With several adapters, a dictionary from each adapter's address to it.
  returned: always
  type: raw
plan:
  description:
    - The plan of romwright C(-plan) (C(words_to_write), C(words_in_range),
      C(regions), C(copies_changing), C(repairs), C(projected_seconds)).
    - With several adapters, a dictionary from each adapter's address to its
      plan.
  returned: in check mode, in diff mode and with I(report_only)
  type: raw
report:
  description:
    - For each adapter, by its address, C(image_on_board) (true when the
      plan has no word to write), C(words_differing) (the EEPROM words
      whose contents differ from the image), C(regions) (the plan's
      regions with the words that differ in each) and C(identity) (the
      board's part number, serial number and MAC address).
  returned: in check mode and with I(report_only)
  type: dict
  sample:
    "0000:04:00.0":
      image_on_board: false
      words_differing: 1
      regions: [{"name": "init region", "first": 0, "last": 1023, "words": 1}]
      identity: {"part_number": "1102005SIMA00001", "serial_number": "PTSIM0000000000000012345", "mac_address": "0C4E29000001"}
image_on_board:
  description: Whether every adapter already holds the image (no word to write on any).
  returned: in check mode and with I(report_only)
  type: bool
results:
  description: romwright's JSON result document for each adapter, in address order.
  returned: always
  type: list
  elements: dict
cmd:
  description: The romwright command line that was run.
  returned: always
  type: list
  elements: str
image_digest:
  description: The image digest of I(image) as romwright-vpd took it.
  returned: when I(image_digest) was given
  type: str
  sample: a194f47f1d10065bb650ea966007bc1bacbf8257b3a17c61f048d5efa557de19
stderr:
  description: romwright's notes on standard error (the backup's name, for one).
  returned: always
  type: str
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.romwright.eeprom.plugins.module_utils.romwright import (
    image_digest, interrupted_warning, resolve_beside, resolve_executable, run_romwright)

TYPE_ARGUMENT = {'full': '-f:', 'vpd': '-fvpd:', 'init': '-finit:'}
ADDRESS = re.compile(r'^([0-9A-Fa-f]+:)?[0-9A-Fa-f]+:[0-9A-Fa-f]+\.[0-7]$')
DIGEST = re.compile(r'^[0-9a-f]{64}$')


def documents(doc):
    """The result documents of one run: a single one, or those of the adapters wrapper."""
    if isinstance(doc.get('adapters'), list):
        return [d for d in doc['adapters'] if isinstance(d, dict)]
    return [doc]


def failure_message(adapter, doc, rc, results):
    """romwright's own message, after the adapter it concerns."""
    failing = [d for d in results if d.get('status', 0) != 0 or 'error' in d]
    if len(results) == 1 and failing:
        d = failing[0]
        return 'romwright on %s: %s' % (d.get('adapter', adapter),
                                        d.get('error', 'failed with status %s' % d.get('status')))
    if failing:
        return 'romwright failed on %d of %d adapters: %s' % (
            len(failing), len(results),
            '; '.join('%s: %s' % (d.get('adapter', '?'), d.get('error', 'status %s' % d.get('status')))
                      for d in failing))
    return 'romwright on %s: %s' % (adapter, doc.get('error', 'failed with status %s' % doc.get('status', rc)))


def check_status(module, adapter, cmd, doc, rc, err, warned):
    results = documents(doc)
    warn_interrupted(module, results, warned)
    status = doc.get('status', rc)
    if rc != 0 or status != 0:
        # A failure after words were written (a word that did not read back)
        # still changed the EEPROM: say so, with the backup to go back to.
        module.fail_json(msg=failure_message(adapter, doc, rc, results), cmd=cmd, rc=rc, status=status,
                         changed=any(bool(d.get('changed')) for d in results),
                         backup=collect(results, 'backup'), results=results, stderr=err)
    return results


def warn_interrupted(module, results, warned):
    """A journal of an unfinished change stands: warn once per adapter (warned: the warnings given)."""
    for d in results:
        text = interrupted_warning(d.get('adapter', '?'), d.get('interrupted'))
        if text and text not in warned:
            warned.add(text)
            module.warn(text)


def identity_lines(identity):
    if not isinstance(identity, dict):
        return ['identity: none']
    return ['identity:'] + ['  %s: %s' % (k, identity.get(k)) for k in
                            ('part_number', 'serial_number', 'mac_address')]


def region_name(r):
    return '%s (0x%04x-0x%04x)' % (r.get('name', '?'), r.get('first', 0), r.get('last', 0))


def diff_text(adapter, identity, plan, after):
    lines = ['adapter %s' % adapter] + identity_lines(identity)
    regions = plan.get('regions') or []
    for r in regions:
        if after:
            lines.append('%s: as the image' % region_name(r))
        else:
            n = r.get('words', 0)
            lines.append('%s: %d %s from the image' % (region_name(r), n, 'word differs' if n == 1 else 'words differ'))
    if not regions:
        lines.append('every word as the image')
    for c in plan.get('copies_changing') or []:
        lines.append('VPD copy %s at 0x%04x: %s' % (c.get('index'), c.get('address', 0),
                                                    c.get('after') if after else c.get('before')))
    return '\n'.join(lines) + '\n'


def report_of(module, cmd, results):
    """The report by adapter address; a document without a plan cannot say."""
    report = {}
    for d in results:
        plan = d.get('plan')
        if not isinstance(plan, dict) or not isinstance(plan.get('words_to_write'), int):
            module.fail_json(msg='romwright on %s gave no plan to report from' % d.get('adapter', '?'),
                             cmd=cmd, results=results)
        words = plan['words_to_write']
        report[d.get('adapter', '?')] = dict(image_on_board=words == 0, words_differing=words,
                                             regions=plan.get('regions') or [], identity=d.get('identity_before'))
    return report


def collect(results, key):
    """One adapter: its value; several: a dictionary by address."""
    if len(results) == 1:
        return results[0].get(key)
    return dict((d.get('adapter', '?'), d.get(key)) for d in results)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            adapter=dict(type='str', required=True),
            image=dict(type='path', required=True),
            type=dict(type='str', default='full', choices=['full', 'vpd', 'init']),
            changed_only=dict(type='bool', default=True),
            report_only=dict(type='bool', default=False),
            image_digest=dict(type='str'),
            vpd_executable=dict(type='str', default='romwright-vpd'),
            executable=dict(type='list', elements='str', default=['romwright']),
        ),
        supports_check_mode=True,
    )
    p = module.params
    adapter = p['adapter']
    if adapter != 'all' and not ADDRESS.match(adapter):
        module.fail_json(msg="adapter must be a PCI address such as 04:00.0 or 0000:04:00.0, or 'all': %r" % adapter)
    image = p['image']
    if not os.path.isabs(image):
        module.fail_json(msg='image must be an absolute path on the managed host: %r' % image)

    romwright = resolve_executable(module, p['executable'])
    digest = None
    if p['image_digest'] is not None:
        expected = p['image_digest'].strip().lower()
        if not DIGEST.match(expected):
            module.fail_json(msg='image_digest must be a SHA-256 in hexadecimal (64 digits): %r' % p['image_digest'])
        if p['type'] == 'init':
            module.fail_json(msg='image_digest goes with type full or vpd: an init region holds no VPD')
        digest, digest_cmd = image_digest(module, resolve_beside(module, p['vpd_executable'], romwright[0]), image)
        if digest.lower() != expected:
            module.fail_json(msg='the image digest of %s is %s, not the expected %s (image_digest): nothing was '
                                 'written' % (image, digest.lower(), expected),
                             changed=False, image_digest=digest, cmd=digest_cmd)

    base = romwright + ['-b', adapter, 'write', TYPE_ARGUMENT[p['type']] + image]
    plan_cmd = base + ['-changed', '-plan', '-json']
    write_cmd = base + (['-changed'] if p['changed_only'] else []) + ['-json']

    reporting = p['report_only'] or module.check_mode
    warned = set()
    plan_results = None
    if reporting or module._diff:
        doc, rc, err = run_romwright(module, plan_cmd)
        plan_results = check_status(module, adapter, plan_cmd, doc, rc, err, warned)
        plans = dict((d.get('adapter', '?'), d.get('plan') or {}) for d in plan_results)

    if reporting:
        cmd, results = plan_cmd, plan_results
        report = report_of(module, cmd, results)
        on_board = all(r['image_on_board'] for r in report.values())
        # Check mode: whether a real run would change the EEPROM.
        changed = not p['report_only'] and not on_board
        words_written = 0
    else:
        cmd = write_cmd
        doc, rc, err = run_romwright(module, write_cmd)
        results = check_status(module, adapter, write_cmd, doc, rc, err, warned)
        changed = any(bool(d.get('changed')) for d in results)
        words_written = sum(int(d.get('words_written') or 0) for d in results)

    ret = dict(
        changed=changed,
        words_written=words_written,
        backup=collect(results, 'backup'),
        identity_before=collect(results, 'identity_before'),
        identity_after=collect(results, 'identity_after'),
        results=results,
        cmd=cmd,
        stderr=err,
    )
    if len(results) == 1 and 'adapter' in results[0]:
        ret['adapter'] = results[0]['adapter']
    if digest is not None:
        ret['image_digest'] = digest
    if plan_results is not None:
        ret['plan'] = collect(plan_results, 'plan')
    if reporting:
        ret['report'] = report
        ret['image_on_board'] = on_board
    if module._diff and not p['report_only']:
        after_ids = dict((d.get('adapter', '?'), d.get('identity_after')) for d in results)
        before, after = [], []
        for d in plan_results:
            a = d.get('adapter', '?')
            before.append(diff_text(a, d.get('identity_before'), plans[a], False))
            after.append(diff_text(a, after_ids.get(a), plans[a], True))
        ret['diff'] = dict(before='\n'.join(before), after='\n'.join(after),
                           before_header='%s (EEPROM before)' % adapter,
                           after_header='%s (EEPROM after)' % adapter)
    module.exit_json(**ret)


if __name__ == '__main__':
    main()
