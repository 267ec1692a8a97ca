# -*- coding: utf-8 -*-
# MIT licence: see LICENSE at the top of the Daveridur project.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
name: fleet_summary
type: aggregate
short_description: One summary of a fleet run at its end, sites and cards
version_added: 1.0.0
description:
  - At the end of a playbook run, prints what became of every site that a
    M(daveridur.fleet.discover) or M(daveridur.fleet.upgrade) task ran on, and of their cards.
  - "Sites: done (the upgrade task ended well), failed (it failed: its C(msg) is shown),
    not started (the site was discovered but a halt, for example C(max_fail_percentage: 0)
    after a failed site, kept the upgrade from it) and unreachable."
  - "Cards, from each card's verdict (the C(verdict) of the site's C(cards)): applied (it
    took the image: C(applied), C(sent), C(unverifiable)), failed (its verdict fails the
    run), not started (a halt or the operator's stop kept it back) and skipped
    (C(current), C(done_before)); for a site not started, the cards its discovery found."
  - In check mode, each site's plan instead (cards that would be sent, in how many waves).
  - Sites are listed in the inventory's order, whatever order they finished in.
  - Printed however the run ends, a halt included, since a halted play ends the playbook
    before any later play could summarise it.
  - A site host that runs the tool without the modules (a Windows site host, through
    C(ansible.windows.win_command) and C(--json)) is counted when a task sets the fact
    C(daveridur_found) (with C(count)) and the fact C(daveridur_upgrade), a dictionary
    with the module's C(cards), C(summary), C(report), C(changed), and C(failed) with C(msg)
    when the site failed.
author:
  - Daveridur
requirements:
  - Enabled in ansible.cfg, C(callbacks_enabled = daveridur.fleet.fleet_summary) in
    C([defaults]), or by C(ANSIBLE_CALLBACKS_ENABLED).
options:
  json_file:
    description:
      - Also write the summary as JSON to this file on the control node (for a ticket, or a
        script that reads the run).
    type: path
    env:
      - name: DAVERIDUR_FLEET_SUMMARY_JSON
    ini:
      - section: callback_fleet_summary
        key: json_file
  html_file:
    description:
      - "Also write one page of the whole fleet to this file on the control node, with
        C(daveridur-cli report --html) on the control node: every site's report fetched to
        the control node (the C(dest) of an C(ansible.builtin.fetch) task), a failed site's
        too, and every site that left no report (failed before its report was written, not
        started, unreachable) listed with what became of it. Not written in check mode."
    type: path
    env:
      - name: DAVERIDUR_FLEET_HTML
    ini:
      - section: callback_fleet_summary
        key: html_file
  cli:
    description:
      - The control node's daveridur-cli, for O(html_file).
    type: str
    default: daveridur-cli
    env:
      - name: DAVERIDUR_FLEET_CLI
    ini:
      - section: callback_fleet_summary
        key: cli
'''

import json
import os
import shutil
import subprocess

from ansible import context
from ansible.module_utils.common.text.converters import to_text
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.callback import CallbackBase
from ansible_collections.daveridur.fleet.plugins.module_utils.verdict import card_groups

UPGRADE = ('daveridur.fleet.upgrade', 'upgrade')
DISCOVER = ('daveridur.fleet.discover', 'discover')
FETCH = ('ansible.builtin.fetch', 'fetch')


def action_of(task):
    return getattr(task, 'resolved_action', None) or task.action


def count_of(value):
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def plural(n, word):
    return '%d %s%s' % (n, word, '' if n == 1 else 's')


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'daveridur.fleet.fleet_summary'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.sites = {}  # host name -> what its tasks said, in the order met
        self.check_mode = False
        self.inventory_order = []  # the plays' hosts as the inventory lists them

    def _site(self, host):
        return self.sites.setdefault(host, dict(state='not started', found=None, result=None))

    def _record(self, result, failed):
        host = result._host.get_name()
        action = action_of(result._task)
        res = result._result
        facts = res.get('ansible_facts') or {}
        if not failed and isinstance(facts.get('daveridur_found'), dict):
            # A site whose tool runs without the modules (a Windows site host).
            self._site(host)['found'] = count_of(facts['daveridur_found'].get('count'))
        if not failed and isinstance(facts.get('daveridur_upgrade'), dict):
            site = self._site(host)
            site['result'] = upgrade = facts['daveridur_upgrade']
            site['changed'] = boolean(upgrade.get('changed', False), strict=False)
            failed_site = boolean(upgrade.get('failed', False), strict=False)
            site['state'] = 'failed' if failed_site else 'done'
            if site['state'] == 'failed':
                site['msg'] = to_text(site['result'].get('msg', ''))
        if action in FETCH and not failed and res.get('dest'):
            # The site's report on the control node, for the fleet's page.
            self._site(host)['fetched'] = to_text(res['dest'])
        if action in DISCOVER:
            site = self._site(host)
            if not failed and 'count' in res:
                site['found'] = res['count']
            elif failed:
                site['state'] = 'failed'
                site['msg'] = to_text(res.get('msg', ''))
        elif action in UPGRADE:
            site = self._site(host)
            site['result'] = res
            site['changed'] = bool(res.get('changed'))
            if 'plan' in res:
                self.check_mode = True
            site['state'] = 'failed' if failed else 'done'
            if failed:
                site['msg'] = to_text(res.get('msg', ''))

    def v2_runner_on_ok(self, result):
        self._record(result, False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, not ignore_errors)

    def v2_runner_on_unreachable(self, result):
        site = self._site(result._host.get_name())
        site['state'] = 'unreachable'
        site['msg'] = to_text(result._result.get('msg', ''))

    def v2_playbook_on_play_start(self, play):
        # Sites finish in any order (forks, waves of sites): the summary lists
        # them as the inventory does.
        try:
            hosts = play.get_variable_manager()._inventory.get_hosts(play.hosts)
        except Exception:  # an inventory this callback cannot read: the order met
            return
        for host in hosts:
            name = host.get_name()
            if name not in self.inventory_order:
                self.inventory_order.append(name)

    def _in_inventory_order(self):
        place = dict((name, i) for i, name in enumerate(self.inventory_order))
        met = list(self.sites)
        return sorted(met, key=lambda name: (place.get(name, len(place)), met.index(name)))

    def _rows(self):
        """One entry per site with its counts, and the totals."""
        sites = []
        totals = dict(applied=0, failed=0, not_started=0, skipped=0, would_send=0)
        for host in self._in_inventory_order():
            s = self.sites[host]
            res = s['result'] or {}
            entry = dict(site=host, state=s['state'], found=s['found'],
                         changed=s.get('changed', False), msg=s.get('msg'),
                         report=res.get('report'), upgraded=s['result'] is not None,
                         fetched=s.get('fetched'))
            if not entry['upgraded']:
                pass
            elif 'plan' in res:
                entry['would_send'] = sum(1 for c in res['plan'] if c.get('wave'))
                entry['plan_summary'] = res.get('plan_summary')
                totals['would_send'] += entry['would_send']
            else:
                cards = res.get('cards')
                entry.update(card_groups(cards if isinstance(cards, list) else []))
                for key in ('applied', 'failed', 'not_started', 'skipped'):
                    totals[key] += entry[key]
            sites.append(entry)
        return sites, totals

    def _display_summary(self, sites, totals):
        count = dict((state, sum(1 for s in sites if s['state'] == state))
                     for state in ('done', 'failed', 'not started', 'unreachable'))
        show = self._display.display
        show('', screen_only=True)
        show('DAVERIDUR FLEET SUMMARY' +
             (' (check mode: nothing was sent)' if self.check_mode else ''))
        line = 'sites: %d %s, %d failed, %d not started' % (
            count['done'], 'planned' if self.check_mode else 'done', count['failed'],
            count['not started'])
        if count['unreachable']:
            line += ', %d unreachable' % count['unreachable']
        show(line + ' (%d in all)' % len(sites))
        if self.check_mode:
            show('cards: %d would be sent' % totals['would_send'])
        else:
            unstarted_found = sum(s['found'] or 0 for s in sites if s['state'] == 'not started')
            line = 'cards: %d applied, %d failed, %d not started, %d skipped' % (
                totals['applied'], totals['failed'], totals['not_started'], totals['skipped'])
            if unstarted_found:
                line += '; %s found at the sites not started' % plural(unstarted_found, 'card')
            show(line)
        width = max([len(s['site']) for s in sites] + [4])
        for s in sites:
            if not s['upgraded']:
                what = '' if s['found'] is None else plural(s['found'], 'card') + ' found'
            elif 'would_send' in s:
                what = s.get('plan_summary') or plural(s['would_send'], 'card') + ' would be sent'
            else:
                what = '%d applied, %d failed, %d not started, %d skipped' % (
                    s['applied'], s['failed'], s['not_started'], s['skipped'])
            if s['msg'] and s['state'] != 'done':
                what = (what + ': ' if what else '') + s['msg']
            state = 'planned' if self.check_mode and s['state'] == 'done' else s['state']
            show('  %-*s  %-11s  %s' % (width, s['site'], state, what))

    def _write_page(self, sites, path):
        """The fleet's page from the reports fetched, every site without one
        listed; what became of it said after the summary."""
        reports = [s['fetched'] for s in sites if s['fetched'] and os.path.isfile(s['fetched'])]
        missing = []
        for s in sites:
            if s['fetched'] and os.path.isfile(s['fetched']):
                continue
            what = s['state']
            if s['state'] == 'not started' and s['found'] is not None:
                what += ': %s found' % plural(s['found'], 'card')
            elif s['msg']:
                what += ': ' + s['msg']
            missing += ['--missing-site', '%s=%s' % (s['site'], what)]
        show = self._display.display
        if not reports:
            show('fleet page not written: no site report came back to the control node')
            return
        cli = self.get_option('cli')
        tool = cli if os.sep in cli else shutil.which(cli)
        if not tool:
            show('fleet page not written: %s not found on the control node' % cli)
            return
        p = subprocess.run([tool, 'report'] + reports + ['--html', path] + missing,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode == 0:
            show('fleet page: %s (%s, %s without one)' % (
                path, plural(len(reports), 'report'), plural(len(missing) // 2, 'site')))
        else:
            show('fleet page not written: %s' % to_text(p.stdout).strip())

    def v2_playbook_on_start(self, playbook):
        self.check_mode = bool(context.CLIARGS.get('check'))

    def v2_playbook_on_stats(self, stats):
        if not self.sites:
            return
        sites, totals = self._rows()
        self._display_summary(sites, totals)
        path = self.get_option('json_file')
        if path:
            with open(path, 'w') as f:
                json.dump(dict(check_mode=self.check_mode, sites=sites, totals=totals), f, indent=2)
                f.write('\n')
        page = self.get_option('html_file')
        if page and not self.check_mode:
            self._write_page(sites, page)
