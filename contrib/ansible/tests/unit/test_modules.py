# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

"""The modules in process, each romwright run answered by a mocked
run_command: which command lines they run and what they make of the
answers; and the audit's filters on gathered facts. scripts/test-ansible
runs them from the installed collection (python3 -m unittest); from a
checkout, put the folder that holds ansible_collections/romwright/eeprom in
PYTHONPATH."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import importlib
import json
import os
import stat
import sys
import tempfile
import unittest
from unittest import mock

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

# ansible_collections/romwright/eeprom/tests/unit/this file: the folder above
# ansible_collections is where Python finds the collection's packages.
COLLECTION = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(COLLECTION)))
if os.path.basename(os.path.dirname(os.path.dirname(COLLECTION))) == 'ansible_collections' and ROOT not in sys.path:
    sys.path.insert(0, ROOT)

PLUGINS = 'ansible_collections.romwright.eeprom.plugins.'
INFO = importlib.import_module(PLUGINS + 'modules.romwright_info')
IMAGE = importlib.import_module(PLUGINS + 'modules.romwright_image')
AUDIT = importlib.import_module(PLUGINS + 'filter.romwright_audit')

SIM = ['/opt/romwright-sim', '--eeprom', '/var/e.bin', '--']
ADDRESS = '0000:04:00.0'
IDENTITY = {'part_number': '1102005SIMA00001', 'serial_number': 'PTSIM0000000000000012345',
            'mac_address': '0C4E29000001'}
PLAN = {'words_to_write': 1, 'regions': [{'name': 'init region', 'first': 0, 'last': 1023, 'words': 1}],
        'copies_changing': []}
BACKUP = '/var/lib/romwright/backups/0000-04-00.0_PTSIM0000000000000012345_20270115T080000Z.bin'


def document(**keys):
    return json.dumps(dict({'command': 'write', 'adapter': ADDRESS, 'status': 0}, **keys))


PLANNED = document(changed=False, words_written=0, backup=None, identity_before=IDENTITY, identity_after=IDENTITY,
                   plan=PLAN)
WRITTEN = document(changed=True, words_written=1, backup=BACKUP, identity_before=IDENTITY, identity_after=IDENTITY)
PROTECTED = document(changed=False, words_written=0, backup=BACKUP, identity_before=IDENTITY,
                     error='ERROR: EEPROM address 0x0104 reads back 0x00000000 (the EEPROM may be write-protected)',
                     status=1)
OTHER = '0000:05:00.0'
ON_BOARD_PLAN = {'words_to_write': 0, 'regions': [], 'copies_changing': []}
# Two adapters planned at once (-b all): 04:00.0 has a word to write, 05:00.0 none.
PLANNED_ALL = json.dumps({'adapters': [json.loads(PLANNED), json.loads(document(
    adapter=OTHER, changed=False, words_written=0, backup=None, identity_before=IDENTITY, identity_after=IDENTITY,
    plan=ON_BOARD_PLAN))], 'status': 0})
LISTED = json.dumps({'adapters': [{'address': ADDRESS, 'vendor': '1e2c', 'device': '8001', 'bar0': '0x3fe080000000',
                                   'driver': None, 'in_use': False}], 'status': 0})
VPD = {'command': 'vpd', 'copies': [], 'summary': {'agree': True}, 'status': 0}
ADAPTER = {'address': ADDRESS, 'vendor': '1e2c', 'device': '8001', 'bar0': '0x3fe080000000', 'driver': None,
           'in_use': False}
NO_JSON = 'Usage:  romwright <options> <cmd>\n'


class Ended(Exception):
    """exit_json or fail_json was called with this result."""


def run_module(module, params, answers, check, diff):
    """module's main() with params; answers holds (rc, stdout) for each
    romwright run in turn.  Returns the result and the command lines run."""
    commands = []

    def run_command(self, cmd, **kwargs):
        commands.append(cmd)
        rc, out = answers[len(commands) - 1]
        return rc, out, 'romwright: notes\n'

    def exit_json(self, **result):
        raise Ended(dict(result, failed=False))

    def fail_json(self, **result):
        raise Ended(dict(result, failed=True))

    args = dict(params, _ansible_check_mode=check, _ansible_diff=diff)
    with mock.patch.object(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args}))), \
            mock.patch.multiple(basic.AnsibleModule, run_command=run_command, exit_json=exit_json,
                                fail_json=fail_json), \
            mock.patch.dict(os.environ, {'PATH': '/usr/bin:/bin'}):
        try:
            module.main()
        except Ended as ended:
            return ended.args[0], commands
    raise AssertionError('the module ended neither with exit_json nor with fail_json')


class ModuleTest(unittest.TestCase):

    def check_cases(self, module, cases):
        for c in cases:
            with self.subTest(c['name']):
                result, commands = run_module(module, c['params'], c.get('answers', []), c.get('check', False),
                                              c.get('diff', False))
                self.assertEqual(commands, c.get('commands', []))
                for key, value in c['result'].items():
                    self.assertEqual(result.get(key), value, key)


def image_words(*words):
    return SIM + ['-b', '04:00.0', 'write'] + list(words)


class ImageTest(ModuleTest):

    def test_cases(self):
        params = {'adapter': '04:00.0', 'image': '/var/image.bin', 'executable': SIM}
        needs_word = {'image_on_board': False, 'words_differing': 1, 'regions': PLAN['regions'],
                      'identity': IDENTITY}
        identity_text = ('adapter 0000:04:00.0\nidentity:\n  part_number: 1102005SIMA00001\n'
                         '  serial_number: PTSIM0000000000000012345\n  mac_address: 0C4E29000001\n')
        self.check_cases(IMAGE, [
            dict(name='success', params=params, answers=[(0, WRITTEN)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-json')],
                 result={'failed': False, 'changed': True, 'words_written': 1, 'backup': BACKUP,
                         'adapter': ADDRESS, 'identity_after': IDENTITY}),
            dict(name='every word of a VPD image',
                 params=dict(params, type='vpd', changed_only=False), answers=[(0, WRITTEN)],
                 commands=[image_words('-fvpd:/var/image.bin', '-json')],
                 result={'failed': False, 'changed': True}),
            dict(name='refusal', params=params, answers=[(1, PROTECTED)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-json')],
                 result={'failed': True, 'changed': False, 'backup': BACKUP, 'rc': 1,
                         'msg': 'romwright on 0000:04:00.0: ERROR: EEPROM address 0x0104 reads back 0x00000000 '
                                '(the EEPROM may be write-protected)'}),
            dict(name='check mode: the plan, every word that differs, and the report',
                 params=dict(params, changed_only=False), check=True, answers=[(0, PLANNED)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-plan', '-json')],
                 result={'failed': False, 'changed': True, 'words_written': 0, 'plan': PLAN, 'diff': None,
                         'report': {ADDRESS: needs_word}, 'image_on_board': False}),
            dict(name='report only, with diff: the plan alone, nothing changed, no diff',
                 params=dict(params, report_only=True), diff=True, answers=[(0, PLANNED)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-plan', '-json')],
                 result={'failed': False, 'changed': False, 'words_written': 0, 'backup': None, 'diff': None,
                         'report': {ADDRESS: needs_word}, 'image_on_board': False}),
            dict(name='report only, every adapter, in check mode: one holds the image',
                 params=dict(params, adapter='all', report_only=True), check=True, answers=[(0, PLANNED_ALL)],
                 commands=[SIM + ['-b', 'all', 'write', '-f:/var/image.bin', '-changed', '-plan', '-json']],
                 result={'failed': False, 'changed': False, 'image_on_board': False,
                         'report': {ADDRESS: needs_word,
                                    OTHER: {'image_on_board': True, 'words_differing': 0, 'regions': [],
                                            'identity': IDENTITY}}}),
            dict(name='report only, every adapter holds the image', params=dict(params, report_only=True),
                 answers=[(0, document(changed=False, words_written=0, backup=None, identity_before=IDENTITY,
                                       identity_after=IDENTITY, plan=ON_BOARD_PLAN))],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-plan', '-json')],
                 result={'failed': False, 'changed': False, 'image_on_board': True}),
            dict(name='report only, a document without a plan', params=dict(params, report_only=True),
                 answers=[(0, WRITTEN)], commands=[image_words('-f:/var/image.bin', '-changed', '-plan', '-json')],
                 result={'failed': True, 'msg': 'romwright on 0000:04:00.0 gave no plan to report from'}),
            dict(name='diff: the plan, then the write', params=params, diff=True,
                 answers=[(0, PLANNED), (0, WRITTEN)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-plan', '-json'),
                           image_words('-f:/var/image.bin', '-changed', '-json')],
                 result={'failed': False, 'changed': True, 'words_written': 1, 'plan': PLAN,
                         'diff': {'before': identity_text + 'init region (0x0000-0x03ff): 1 word differs from the '
                                                            'image\n',
                                  'after': identity_text + 'init region (0x0000-0x03ff): as the image\n',
                                  'before_header': '04:00.0 (EEPROM before)',
                                  'after_header': '04:00.0 (EEPROM after)'}}),
            dict(name='bad JSON', params=params, answers=[(255, NO_JSON)],
                 commands=[image_words('-f:/var/image.bin', '-changed', '-json')],
                 result={'failed': True, 'rc': 255, 'stdout': NO_JSON,
                         'msg': 'romwright printed no JSON document (exit status 255)'}),
            dict(name='absent executable', params=dict(params, executable=['romwright-nowhere']),
                 result={'failed': True,
                         'msg': 'Failed to find required executable "romwright-nowhere" in paths: '
                                '/sbin:/usr/sbin:/usr/local/sbin:/usr/bin:/bin'}),
        ])


class ImageDigestTest(ModuleTest):

    def test_cases(self):
        digest = 'a194f47f1d10065bb650ea966007bc1bacbf8257b3a17c61f048d5efa557de19'
        other = 'b' * 64
        answer = (0, json.dumps({'digests': [{'file': '/var/image.bin', 'digest': digest}], 'status': 0}))
        with tempfile.TemporaryDirectory() as folder:
            # romwright-vpd found beside the program that executable starts.
            vpd = os.path.join(folder, 'romwright-vpd')
            with open(vpd, 'w'):
                pass
            os.chmod(vpd, stat.S_IRWXU)
            sim = [os.path.join(folder, 'romwright-sim')] + SIM[1:]
            params = {'adapter': '04:00.0', 'image': '/var/image.bin', 'executable': sim}
            self.check_cases(IMAGE, [
                dict(name='the digest matches, of either case: the write runs',
                     params=dict(params, image_digest=digest.upper()), answers=[answer, (0, WRITTEN)],
                     commands=[[vpd, 'digest', '--json', '/var/image.bin'],
                               sim + ['-b', '04:00.0', 'write', '-f:/var/image.bin', '-changed', '-json']],
                     result={'failed': False, 'changed': True, 'image_digest': digest}),
                dict(name='another digest: nothing runs after romwright-vpd',
                     params=dict(params, image_digest=other, vpd_executable='/opt/romwright-vpd'), answers=[answer],
                     commands=[['/opt/romwright-vpd', 'digest', '--json', '/var/image.bin']],
                     result={'failed': True, 'changed': False,
                             'msg': 'the image digest of /var/image.bin is %s, not the expected %s (image_digest): '
                                    'nothing was written' % (digest, other)}),
                dict(name='romwright-vpd refuses the file',
                     params=dict(params, image_digest=digest, vpd_executable='/opt/romwright-vpd'),
                     answers=[(2, json.dumps({'error': 'romwright-vpd: /var/image.bin holds 1024 bytes', 'status': 2}))],
                     commands=[['/opt/romwright-vpd', 'digest', '--json', '/var/image.bin']],
                     result={'failed': True, 'msg': 'romwright-vpd could not take the image digest of /var/image.bin: '
                                                    'romwright-vpd: /var/image.bin holds 1024 bytes'}),
            ])


class InfoTest(ModuleTest):

    def test_cases(self):
        params = {'executable': SIM}
        listed_and_read = dict(answers=[(0, LISTED), (0, json.dumps(VPD))],
                               commands=[SIM + ['list', '-json'], SIM + ['-b', ADDRESS, 'vpd', '-json']])
        facts = {'romwright': {'adapters': [dict(ADAPTER, vpd=VPD, vpd_status=0)]}}
        # romwright_info changes nothing: check and diff mode run as it does.
        self.check_cases(INFO, [
            dict(listed_and_read, name='success', params=params,
                 result={'failed': False, 'changed': False, 'ansible_facts': facts}),
            dict(listed_and_read, name='check and diff mode', params=params, check=True, diff=True,
                 result={'failed': False, 'changed': False, 'ansible_facts': facts}),
            dict(name='refusal of the VPD: a fact', params=params,
                 answers=[(0, LISTED), (1, json.dumps({'command': 'vpd', 'error': 'ERROR: in use', 'status': 1}))],
                 commands=listed_and_read['commands'],
                 result={'failed': False, 'ansible_facts': {'romwright': {'adapters': [
                     dict(ADAPTER, vpd=None, vpd_status=1, vpd_error='ERROR: in use')]}}}),
            dict(name='refusal of the list', params=params,
                 answers=[(1, json.dumps({'error': 'ERROR: cannot read the PCI bus', 'status': 1}))],
                 commands=[SIM + ['list', '-json']],
                 result={'failed': True, 'rc': 1, 'msg': 'romwright: ERROR: cannot read the PCI bus'}),
            dict(name='bad JSON', params=params, answers=[(0, LISTED), (0, '["copies"]')],
                 commands=listed_and_read['commands'],
                 result={'failed': True, 'msg': 'romwright printed no JSON document (exit status 0)'}),
            dict(name='absent executable', params={'executable': ['']},
                 result={'failed': True, 'msg': 'executable must name a program'}),
        ])


def host_facts(*adapters):
    """A host's variables after romwright_info; adapters: (address, serial, MAC[, via]) or (address, None) unread."""
    listed = []
    for a in adapters:
        if a[1:] == (None,):
            listed.append(dict(ADAPTER, address=a[0], vpd=None, vpd_status=1, vpd_error='ERROR: in use'))
            continue
        summary = {'part_number': {'value': '1102005SIMA00001'}, 'serial_number': {'value': a[1]},
                   'mac_address': {'value': a[2]}}
        vpd = dict(VPD, summary=summary)
        if len(a) > 3:
            vpd['via'] = a[3]
        listed.append(dict(ADAPTER, address=a[0], vpd=vpd, vpd_status=0))
    return {'ansible_facts': {'romwright': {'adapters': listed}}}


class AuditTest(unittest.TestCase):

    def test_shared_and_blank_identities(self):
        sn = 'PTSIM0000000000000012345'
        # Each value on two boards of two hosts: shared or not.
        for field, one, other, shared in [
                ('mac_address', '0C4E29000011', '0c4e29000011', True),
                ('mac_address', 'F0F0F0F0F0F0', 'F0F0F0F0F0F0', True),
                ('mac_address', 'FFFFFFFFFFFF', 'FFFFFFFFFFFF', False),
                ('mac_address', '\\x00' * 12, '\\x00' * 12, False),
                ('mac_address', None, None, False),
                ('serial_number', 'SN1' + ' ' * 21, 'SN1' + ' ' * 21, True),
                ('serial_number', 'SN1' + '\\x00' * 21, 'SN1' + ' ' * 21, True),
                ('serial_number', '0000000000000000000000A1', '0000000000000000000000A1', True),
                ('serial_number', 'SN1', 'SN2', False),
                ('serial_number', '\\xff' * 24, '\\xFF' * 24, False),
                ('serial_number', '0' * 24, '0' * 24, False),
                ('serial_number', ' ' * 24, ' ' * 24, False)]:
            with self.subTest(field=field, value=one):
                ids = [dict(serial_number=sn + str(i), mac_address='0C4E2900000%d' % i) for i in (1, 2)]
                ids[0][field], ids[1][field] = one, other
                hostvars = {'a': host_facts(('0000:04:00.0', ids[0]['serial_number'], ids[0]['mac_address'])),
                            'b': host_facts(('0000:04:00.0', ids[1]['serial_number'], ids[1]['mac_address']))}
                found = AUDIT.romwright_duplicates(AUDIT.romwright_boards(hostvars, ['a', 'b']))
                self.assertEqual([d['field'] for d in found], [field] if shared else [])

    def test_boards_of_hosts(self):
        mac, sn = '0C4E29000001', 'PTSIM0000000000000012345'
        hostvars = {
            # One device's two functions (one EEPROM), and a board whose VPD was not read.
            'a': host_facts(('0000:04:00.1', sn, mac), ('0000:04:00.0', sn, mac), ('0000:05:00.0', None)),
            'b': host_facts(('0001:04:00.0', 'PTSIM0000000000000099999', mac, 'kernel')),
            'c': {}}
        boards = AUDIT.romwright_boards(hostvars, ['a', 'b', 'c'])
        self.assertEqual([(r['host'], r['address'], r['vpd']) for r in boards],
                         [('a', '0000:04:00.0', 'good'), ('a', '0000:04:00.1', 'good'),
                          ('a', '0000:05:00.0', 'ERROR: in use'), ('b', '0001:04:00.0', 'copy 0 good (kernel)'),
                          ('c', None, 'no facts gathered')])
        self.assertEqual(AUDIT.romwright_duplicates(boards[:3]), [])
        found = AUDIT.romwright_duplicates(boards)
        self.assertEqual(AUDIT.romwright_duplicates_message(found),
                         'MAC address 0C4E29000001 on 2 boards: a 0000:04:00.0, a 0000:04:00.1, b 0001:04:00.0')
        table = AUDIT.romwright_table(boards)
        self.assertEqual(table[0].split(), ['HOST', 'ADAPTER', 'PART', 'NUMBER', 'SERIAL', 'NUMBER', 'MAC', 'ADDRESS',
                                            'VPD'])
        self.assertEqual(table[3].split(), ['a', '0000:05:00.0', '-', '-', '-', 'ERROR:', 'in', 'use'])
        self.assertEqual(table[1], 'a     0000:04:00.0  1102005SIMA00001  PTSIM0000000000000012345  0C4E29000001  good')


if __name__ == '__main__':
    unittest.main()
