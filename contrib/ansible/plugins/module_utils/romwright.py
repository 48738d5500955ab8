# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

"""What the romwright modules share: finding romwright (and romwright-vpd
beside it), running it with -json and reading the one JSON document it
prints, an image's digest, and the warning about a change that did not
finish."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os

# Where romwright is installed besides PATH (it is a system program).
SBIN_DIRS = ['/sbin', '/usr/sbin', '/usr/local/sbin']


def resolve_executable(module, words):
    """The words that start romwright, the first looked up unless it is a path."""
    if not words or not words[0]:
        module.fail_json(msg='executable must name a program')
    words = list(words)
    if '/' not in words[0]:
        words[0] = module.get_bin_path(words[0], required=True, opt_dirs=SBIN_DIRS)
    return words


def resolve_beside(module, name, program):
    """A program NAME (or path) of romwright's: a name looked up first in the
    folder of PROGRAM (the resolved romwright), then as romwright is."""
    if not name:
        module.fail_json(msg='vpd_executable must name a program')
    if '/' in name:
        return name
    beside = os.path.join(os.path.dirname(program), name)
    if os.path.isfile(beside) and os.access(beside, os.X_OK):
        return beside
    return module.get_bin_path(name, required=True, opt_dirs=SBIN_DIRS)


def image_digest(module, vpd, image):
    """The image digest of IMAGE by romwright-vpd (VPD path): (digest, cmd);
    a failure of romwright-vpd fails the task."""
    cmd = [vpd, 'digest', '--json', image]
    rc, out, err = module.run_command(cmd, expand_user_and_vars=False, environ_update={'LC_ALL': 'C'})
    doc = read_document(out)
    digests = doc.get('digests') if doc else None
    if rc != 0 or not isinstance(digests, list) or len(digests) != 1 or not isinstance(digests[0], dict):
        module.fail_json(msg='romwright-vpd could not take the image digest of %s: %s'
                         % (image, (doc or {}).get('error') or err.strip() or 'exit status %d' % rc),
                         cmd=cmd, rc=rc, stdout=out, stderr=err)
    return str(digests[0].get('digest', '')), cmd


def read_document(text):
    """romwright's JSON document (an object), or None for anything else."""
    try:
        doc = json.loads(text)
    except ValueError:
        return None
    return doc if isinstance(doc, dict) else None


def run_romwright(module, cmd):
    """Runs one romwright command line with -json; returns (document, rc, stderr)."""
    rc, out, err = module.run_command(cmd, expand_user_and_vars=False, environ_update={'LC_ALL': 'C'})
    doc = read_document(out)
    if doc is None:
        module.fail_json(msg='romwright printed no JSON document (exit status %d)' % rc,
                         cmd=cmd, rc=rc, stdout=out, stderr=err)
    return doc, rc, err


def interrupted_warning(address, interrupted):
    """The warning for a document's 'interrupted' (a journal that stands), or None."""
    if not isinstance(interrupted, dict):
        return None
    return ('the EEPROM of %s may be half-written: %s of %s did not finish; %s puts it back'
            % (address, interrupted.get('command', '?'), interrupted.get('time', '?'),
               interrupted.get('restore') or 'a restore of the backup taken before it'))
