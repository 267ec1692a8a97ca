#!/usr/bin/python
# -*- coding: utf-8 -*-
# MIT licence: see LICENSE at the top of the Daveridur project.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: discover
short_description: Lists the UPS network cards that answer on the site host's LAN
version_added: 1.0.0
description:
  - Runs C(daveridur-cli discover --json) on the site host, so that the broadcast (or the
    scan of the ranges given) goes out on that host's own network, where the cards are.
  - Returns every card that answered, with the columns of the tool's discover CSV as keys,
    and their count.
  - Sends only the cards' system information query, so it runs as it is in check mode and
    never reports C(changed).
author:
  - Daveridur
requirements:
  - C(daveridur-cli) on the site host (the Debian package C(daveridur-cli), or the path in I(cli)).
options:
  ranges:
    description:
      - Cards to ask directly, where no broadcast reaches (cards behind a router).
      - Each entry is an address, C(a.b.c.d/n) (16 to 32), C(a.b.c.d-e.f.g.h), or a comma list
        of these.
      - Without I(ranges) the site host broadcasts on every adapter.
      - Any other entry fails the task, naming it, and nothing is asked.
    type: list
    elements: str
    default: []
    aliases: [addresses]
  exclude:
    description:
      - Addresses never asked, in the form of I(ranges). Only with I(ranges).
    type: list
    elements: str
    default: []
  broadcast:
    description:
      - Broadcast on every adapter of the site host.
      - Defaults to C(true) without I(ranges) and C(false) with them; C(true) with I(ranges)
        does both and lists each card once.
    type: bool
  wait:
    description:
      - Milliseconds to listen for the cards' replies (after a scan's last query).
    type: int
    default: 3000
  rate:
    description:
      - Queries a second at most, on average, when scanning I(ranges) (1 to 100000; the tool's default is 200).
    type: int
  retries:
    description:
      - Times a silent address of I(ranges) is asked again.
    type: int
    choices: [0, 1, 2]
  force:
    description:
      - Scan more than 65536 addresses.
    type: bool
    default: false
  cli:
    description:
      - The command-line tool on the site host, by name (found on the C(PATH)) or by path.
    type: str
    default: daveridur-cli
notes:
  - The cards of a site are found by that site host. Its broadcast does not pass routers,
    and a scan reaches only the subnets that host can route to.
seealso:
  - module: daveridur.fleet.upgrade
'''

EXAMPLES = r'''
- name: The cards on the site's LAN
  daveridur.fleet.discover:
  register: found

- name: Cards behind the site's router too, less the UPS in the lab
  daveridur.fleet.discover:
    ranges:
      - 10.20.0.0/24
      - 10.21.4.10-10.21.4.60
    exclude:
      - 10.21.4.33
    broadcast: true
    rate: 200

- name: Show what was found
  ansible.builtin.debug:
    msg: "{{ found.count }} cards: {{ found.cards | map(attribute='ip') | join(', ') }}"
'''

RETURN = r'''
cards:
  description: The cards that answered, in address order.
  returned: always
  type: list
  elements: dict
  contains:
    ip:
      description: The card's address.
      type: str
      sample: 10.20.0.11
    mac:
      description: Its MAC address.
      type: str
      sample: 00-0a-fe-14-00-0b
    version:
      description: The firmware it runs, C(M.mm), or null when it showed none.
      type: str
      sample: '1.02'
    state:
      description: C(ready), or C(no-write) for a card that refuses firmware uploads.
      type: str
      sample: ready
    user:
      description: Always null, a column for card lists to fill in; a card does not tell its account.
      type: str
      sample: null
  sample:
    - {ip: 10.20.0.11, mac: 00-0a-fe-14-00-0b, version: '1.02', state: ready, user: null}
count:
  description: How many cards answered.
  returned: always
  type: int
  sample: 12
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.daveridur.fleet.plugins.module_utils.cli import (
    COMMON_ARGS, EXIT_ALL_OK, address_key, check_address_entries, check_range, cli_message,
    json_lines, option, run_cli, scan_args, stderr_lines)


def discover(module, ranges):
    p = module.params
    args = ['discover', '--json', option('wait', p['wait'])]
    if ranges:
        args += [option('exclude', ex) for ex in p['exclude']]
        args += scan_args(p)
        if p['force']:
            args.append('--force')
        # After "--" the ranges are values, whatever they start with.
        args += ['--'] + ranges
    rc, out, err = run_cli(module, args)
    if rc != EXIT_ALL_OK:
        module.fail_json(msg=cli_message(err, rc), rc=rc, stderr_lines=stderr_lines(err, rc))
    return json_lines(module, out, rc, err)


def argument_spec():
    """The options, as DOCUMENTATION describes them."""
    options = dict(
        ranges=dict(type='list', elements='str', default=[], aliases=['addresses']),
        exclude=dict(type='list', elements='str', default=[]),
        broadcast=dict(type='bool'),
        wait=dict(type='int', default=3000),
        rate=dict(type='int'),
        retries=dict(type='int', choices=[0, 1, 2]),
        force=dict(type='bool', default=False),
    )
    options.update(COMMON_ARGS)
    return options


def main():
    module = AnsibleModule(argument_spec=argument_spec(), supports_check_mode=True)
    p = module.params
    check_range(module, 'wait', 0, 600000)
    check_range(module, 'rate', 1, 100000)
    check_address_entries(module, 'ranges')
    check_address_entries(module, 'exclude')
    if p['exclude'] and not p['ranges']:
        module.fail_json(msg='exclude is only for ranges: a broadcast asks no address')
    broadcast = p['broadcast'] if p['broadcast'] is not None else not p['ranges']
    if not broadcast and not p['ranges']:
        module.fail_json(msg='nothing to ask: give ranges, or leave broadcast on')

    by_ip = {}
    if broadcast:
        for card in discover(module, []):
            by_ip[card.get('ip')] = card
    if p['ranges']:
        for card in discover(module, p['ranges']):
            by_ip[card.get('ip')] = card
    cards = [by_ip[ip] for ip in sorted(by_ip, key=address_key)]
    module.exit_json(changed=False, cards=cards, count=len(cards))


if __name__ == '__main__':
    main()
