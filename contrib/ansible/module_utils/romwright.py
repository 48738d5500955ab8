# -*- coding: utf-8 -*-
# Part of romwright, under the GNU General Public License version 2 (the
# LICENSE file at the top of the romwright tree).

"""What the romwright modules share: finding romwright, running it with
-json and reading the one JSON document it prints, and the warning about a
change that did not finish."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

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
