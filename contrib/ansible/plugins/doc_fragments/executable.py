# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The romwright developers
# GNU General Public License v2.0+ (see LICENSE or https://www.gnu.org/licenses/old-licenses/gpl-2.0.txt)
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    # The option every module of the collection takes: how romwright starts.
    DOCUMENTATION = r'''
options:
  executable:
    description:
      - The words that start romwright, the first one a program name (looked
        up in C(PATH), C(/sbin), C(/usr/sbin) and C(/usr/local/sbin)) or
        path.
      - To rehearse a playbook on the simulated adapter, give
        C(["romwright-sim", "--eeprom", "/path/e.bin", "--"]).
    type: list
    elements: str
    default: [romwright]
'''
