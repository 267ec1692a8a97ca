#!/usr/bin/python
# -*- coding: utf-8 -*-
# MIT licence: see LICENSE at the top of the Daveridur project.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: upgrade
short_description: Upgrades the firmware of the UPS network cards of one site, in waves
version_added: 1.0.0
description:
  - Runs C(daveridur-cli upgrade --json) on the site host, with the image on that host, so
    that the transfers and the checks after them stay on the site's own network.
  - The cards go in waves (I(waves)); the next wave starts only when every card of the one
    before runs the new version or has failed. Once more cards failed than the failure
    budget (I(max_failures)) allows, nothing more starts and the cards not started are
    reported C(not_started) (verdict C(not_started_halted)).
  - Returns every card's row (the tool's C(--json) objects, the report's columns, the
    card's verdict and the wave) and the run's summary.
  - The tool judges each card once into its verdict; the module reads it and judges no row
    itself. The task is C(changed) only when a card took the image (verdict C(applied),
    C(sent) or C(unverifiable)). It fails when the tool's exit status says a card failed
    (a verdict that fails the run), the run halted, or the operator stopped it; then I(msg)
    is the tool's halt line (which names the cards that failed and why), the stop with the
    count of cards it kept from starting, or the cards that failed with their verdicts.
  - "The entries of I(cards) and I(exclude) must be addresses or ranges: any other entry
    (one that looks like an option above all) fails the task, naming it, and nothing is
    sent. Every value reaches the tool as a value, never as one of its options."
  - In check mode it runs C(daveridur-cli upgrade --dry-run), which asks the cards and sends
    nothing, and returns the plan, each card's wave or the line it would get.
author:
  - Daveridur
requirements:
  - C(daveridur-cli) on the site host (the Debian package C(daveridur-cli), or the path in I(cli)).
options:
  image:
    description:
      - The firmware image file on the site host. The tool checks it first; an image that
        fails its checks fails the task and nothing is sent.
    type: path
    required: true
  cards:
    description:
      - The cards to upgrade. Each entry is a card's address, or a range (C(a.b.c.d/n) with
        n from 16 to 32, C(a.b.c.d-e.f.g.h), or a comma list of these) whose cards that
        answer are upgraded.
      - A card named by its address gets a row whether it answers or not (C(No connection)
        fails it); the silent addresses of a range are no cards and get none.
      - Without I(cards), I(cards_file) and I(resume), every card that answers the site
        host's broadcast is upgraded (see I(discover_wait)).
      - An entry of any other shape fails the task, naming it, and nothing is sent.
    type: list
    elements: str
  cards_file:
    description:
      - A card list on the site host (CSV, C(ip[,user[,password]]), header optional), the
        tool's C(--cards). Keep such a file as safe as the passwords it holds.
    type: path
  exclude:
    description:
      - Addresses never upgraded, in the form of I(cards); they win over a card named
        and over a range.
    type: list
    elements: str
    default: []
  waves:
    description:
      - The waves, as card counts or percentages of the cards to upgrade, for example
        C([1, "25%"]) or C("1,10,25%"). A percentage is rounded down and a wave holds at
        least one card; the last entry repeats until every card has its wave.
      - Without it, all the cards go in one wave.
    type: list
    elements: str
  max_failures:
    description:
      - "Failures the whole run allows, a number or a percentage of the cards planned such as
        C(10%): cards refused, whose transfer failed or was aborted, or whose check failed
        (not a card that did not answer before its turn, see I(max_unreachable))."
      - A budget may be reached, not passed; with C(2) the run halts at the 3rd failure,
        with C(10%) of 40 cards at the 5th. A percentage halts only once I(min_settled)
        cards have settled.
      - "Without it, a run with I(waves) allows none. A run without I(waves) has no budget
        then: a failed card halts nothing, every card is still sent, and the task fails at
        the end when a card failed."
    type: str
  max_unreachable:
    description:
      - Cards that gave no answer before their transfer the run allows, a number or a
        percentage; the same rule as I(max_failures). Without it they are reported and fail
        the task at the end, but never halt the run.
    type: str
  min_settled:
    description:
      - A percentage budget halts only once this many cards have settled (every card, in a
        smaller run). The tool's default is 10.
    type: int
  wave_delay:
    description:
      - "Time between waves, like C(30m), C(2h) or C(1d): a wave starts that long after every
        card of the one before settled (the bake time). The module's task lasts as long;
        run it with C(async) and C(poll) when that outlasts the SSH connection."
      - "A gate a person opens (the tool's C(--wave-gate)) needs a terminal; in a playbook
        the gate is a C(ansible.builtin.pause) task between two runs of this module."
    type: str
  order:
    description:
      - The cards' order in the waves, C(given), C(spread) (round-robin across their /24
        subnets) or C(shuffle) / C(shuffle:SEED) (a seeded random order; the seed is in the
        summary's C(order)).
    type: str
  parallel:
    description:
      - Transfers at once within a wave, 1 to 64.
    type: int
    default: 4
  verify:
    description:
      - Passes C(--verify), the wait until each card runs the new version.
      - As the tool stands, the JSON output this module reads runs the upgrade as a rollout,
        whose checks after each card's C(OK.) always run; every row has its C(verified)
        word either way.
    type: bool
    default: true
  force:
    description:
      - Upgrade the cards that already run the image's version or a newer one, which are
        otherwise skipped (C(skipped_version)).
    type: bool
    default: false
  resume:
    description:
      - A report of an earlier run on the site host (for example the I(report) of a run that
        halted). Its cards join this run; those it shows done are skipped
        (C(skipped_done)), the others are planned again.
    type: path
  report:
    description:
      - Where the tool writes its CSV report of every card, on the site host. It is written
        when the run starts and again as each card moves on, so a run cut off keeps its
        record. Not written in check mode.
      - Fetch it to the control node with M(ansible.builtin.fetch).
    type: path
  user:
    description:
      - The account's user name for the cards that have none in I(cards_file).
    type: str
  password:
    description:
      - The account's password, from Ansible Vault or any lookup.
      - It reaches the tool in its environment variable C(DAVERIDUR_PASSWORD), never in its
        arguments, and is kept out of the task's output and logs.
      - At most 31 characters, without C(@) (the tool refuses others).
    type: str
  settle:
    description:
      - Seconds a card must answer every check with the image's version, in at least 5
        answers, before it is C(applied), 1 to 600 (the tool's C(--settle)). The tool's
        default, 30, when not given.
      - Every wave lasts at least this long after its cards came back.
    type: int
  password_file:
    description:
      - A file on the site host whose first line is the password (the tool's
        C(--password-file)), instead of I(password).
    type: path
  transfer_limit:
    description:
      - Minutes a card's transfer may take in all before it ends C(Timeout.), 1 to 1440.
    type: int
  rate:
    description:
      - Queries a second at most when the tool asks the cards in the ranges of I(cards).
    type: int
  retries:
    description:
      - Times a silent address of a range is asked again.
    type: int
    choices: [0, 1, 2]
  force_scan:
    description:
      - Let the ranges of I(cards) hold more than 65536 addresses.
    type: bool
    default: false
  discover_wait:
    description:
      - Milliseconds the broadcast listens for replies when neither I(cards),
        I(cards_file) nor I(resume) is given.
    type: int
    default: 3000
  cli:
    description:
      - The command-line tool on the site host, by name (found on the C(PATH)) or by path.
    type: str
    default: daveridur-cli
notes:
  - Supports check mode (C(--dry-run)), where C(changed) says whether some card would be
    sent the image.
  - The tool runs as long as the connection that started it. Give the task C(async) and
    C(poll) when a site's run may take longer than its SSH connection stays open.
  - The cards are judged by C(daveridur-cli) itself, each into its verdict; the module
    reports what the tool reports, through its exit status and its C(--json) objects.
seealso:
  - module: daveridur.fleet.discover
  - module: ansible.builtin.fetch
'''

EXAMPLES = r'''
- name: Upgrade every card of the site in waves, the report kept on the site host
  daveridur.fleet.upgrade:
    image: /var/lib/daveridur/mx2_105.bin
    user: ops
    password: "{{ vault_daveridur_password }}"
    waves: [1, "25%"]
    max_failures: 0
    parallel: 8
    report: /var/lib/daveridur/reports/last.csv
  register: upgrade

- name: Cards named and ranges, less one
  daveridur.fleet.upgrade:
    image: /var/lib/daveridur/mx2_105.bin
    cards:
      - 10.20.0.11
      - 10.21.4.0/24
    exclude:
      - 10.21.4.33
    password_file: /etc/daveridur/password
    waves: "1,10,25%"
    max_failures: 2

- name: After a halt, only the cards the report does not show done
  daveridur.fleet.upgrade:
    image: /var/lib/daveridur/mx2_105.bin
    resume: /var/lib/daveridur/reports/last.csv
    report: /var/lib/daveridur/reports/resumed.csv
    password: "{{ vault_daveridur_password }}"
    waves: [1, "25%"]

- name: The plan only (or run the playbook with --check)
  daveridur.fleet.upgrade:
    image: /var/lib/daveridur/mx2_105.bin
    waves: [1, "25%"]
  check_mode: true
  register: plan
'''

RETURN = r'''
cards:
  description:
    - Every card's row as the tool settled it, in that order; the tool's C(--json) objects
      with the report's columns and the wave as keys. Empty in check mode.
  returned: always
  type: list
  elements: dict
  contains:
    ip:
      description: The card's address.
      type: str
    mac:
      description: Its MAC address, as it answered.
      type: str
    version_before:
      description: The firmware it ran before.
      type: str
    image:
      description: The image file.
      type: str
    image_version:
      description: The image's version.
      type: str
    result:
      description:
        - The transfer's word, for example C(ok), C(timeout), C(card_error),
          C(no_connection), C(skipped_version), C(skipped_done), C(not_started).
        - Read I(verdict) for what became of the card; C(ok) alone says only that the
          image was sent whole.
      type: str
    verdict:
      description:
        - What became of the card, as the tool judged it (the report's C(verdict) column).
        - "The card is where the run wanted it: C(applied) (its check heard the image's
          version), C(sent) (sent whole, the run checks nothing), C(unverifiable) (sent
          whole, the image has no version to check), C(current) (not sent: it runs the
          image's version or a newer one), C(done_before) (not sent: the report resumed
          proves it done)."
        - "It fails the run: C(checking) (sent whole, its check had not answered when the
          run ended), C(not_applied), C(no_answer_after), C(refused), C(transfer_failed),
          C(aborted), C(no_connection), C(not_started_window) (the run ended while its
          schedule held it), C(pending)."
        - "Not started, and no failure: C(not_started_halted) (the failure budget halted the
          run), C(not_started_stopped) (the operator stopped the run)."
        - C(not_applied), C(no_answer_after), C(refused), C(transfer_failed) and C(aborted)
          count against the failure budget.
        - From a C(daveridur-cli) older than the verdict, derived from I(result) and
          I(verified) as the tool reads an old report.
      type: str
    message:
      description: The report line's words, for example C(OK.) or the card's own message.
      type: str
    verified:
      description:
        - What the check after C(OK.) found, C(applied), C(not_applied), C(no_answer) or
          C(not_verified); null for a card not sent or failed.
      type: str
    verified_seconds:
      description: Seconds from C(OK.) to the check's answer; null without a check.
      type: int
    seconds:
      description: The transfer's seconds.
      type: int
    bytes_sent:
      description: Bytes sent to the card.
      type: int
    started:
      description: When the card started, local time of the site host.
      type: str
    ended:
      description: When it ended.
      type: str
    wave:
      description: The card's wave; null for a card outside the waves (skipped, silent).
      type: int
  sample:
    - {started: '2026-12-09 14:50:06', ended: '2026-12-09 14:50:06', ip: 10.20.0.11,
       mac: 00-0a-fe-14-00-0b, version_before: '1.00', image: /var/lib/daveridur/mx2_105.bin,
       image_version: '1.05', result: ok, message: OK., seconds: 3, bytes_sent: 60080,
       verified: applied, verified_seconds: 41, verdict: applied, wave: 1}
waves_held:
  description: Each wave the policy held once the one before settled (I(wave_delay)), with
    that wave's counts and when the next started by the site host's clock.
  returned: success and failure, not in check mode
  type: list
  elements: dict
  sample:
    - {settled_wave: 1, applied: 1, failed: 0, next_wave: 2, cards: 11, gate: false,
       starts_at: '2024-05-02 00:40'}
summary:
  description: The tool's summary of the run; null in check mode.
  returned: always
  type: dict
  contains:
    cards:
      description: Cards in the run.
      type: int
    results:
      description: Cards by their C(verified) word, else their C(result) word.
      type: dict
      sample: {applied: 11, skipped_version: 1, not_applied: 1, not_started: 27}
    verdicts:
      description: Cards by their verdict.
      type: dict
      sample: {applied: 11, current: 1, not_applied: 1, not_started_halted: 27}
    failures:
      description: Cards whose verdict fails the run.
      type: int
    budget_failures:
      description: The failures counted against the failure budget.
      type: int
    max_failures:
      description: The failure budget; null when the run had none.
      type: int
    waves:
      description: Waves planned.
      type: int
    waves_run:
      description: Waves started.
      type: int
    halted:
      description: Whether a budget (failures or cards without an answer) halted the run.
      type: bool
    unreachable:
      description: Cards that gave no answer before their transfer.
      type: int
    max_unreachable:
      description: The cards without an answer the run allowed; null when it had no such budget.
      type: int
    order:
      description: The cards' order, a shuffle with its seed (C(shuffle:1234)) to plan it again.
      type: str
    stopped:
      description: Whether the operator stopped the run (a first Ctrl+C or a signal that kept cards from starting).
      type: bool
    exit_status:
      description: The tool's exit status, as the verdicts decide it.
      type: int
    reason:
      description: Why it halted, for example C(1 card failed, none allowed); null when it did not.
      type: str
report:
  description: The report written on the site host; null when none was (check mode, or a run refused before it started).
  returned: always
  type: str
  sample: /var/lib/daveridur/reports/last.csv
plan:
  description: In check mode, each card's wave or the line it would get instead.
  returned: check mode
  type: list
  elements: dict
  contains:
    ip:
      description: The card's address.
      type: str
    wave:
      description: The wave it would go in; null for a card that would not be sent.
      type: int
    message:
      description: "The line it would get instead, for example C(Skipped : version 1.05 .); null for a card in a wave."
      type: str
  sample:
    - {ip: 10.20.0.11, wave: 1, message: null}
    - {ip: 10.20.0.12, wave: null, message: 'Skipped : version 1.05 .'}
plan_summary:
  description: In check mode, the tool's plan line.
  returned: check mode
  type: str
  sample: 'plan: 12 cards in 4 waves (1, 3 x 3, 2); stops after the first failure'
rc:
  description: The tool's exit status (0 every card fine, 1 a card failed, 2 a wrong command line, 3 the image failed its checks, 4 halted by the failure budget, 5 stopped by the operator).
  returned: when the tool ran
  type: int
stderr_lines:
  description: The tool's progress lines (each card started, ended, checked; the halt line).
  returned: when the tool ran
  type: list
  elements: str
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.daveridur.fleet.plugins.module_utils.cli import (
    COMMON_ARGS, EXIT_ALL_OK, EXIT_HALTED, EXIT_STOPPED, check_address_entries, check_range,
    cli_message, json_lines, lines_of, option, run_cli, scan_args, stderr_lines)
from ansible_collections.daveridur.fleet.plugins.module_utils.verdict import (
    NOT_STARTED_STOPPED, TOOK_IMAGE, row_verdict, rules_of)

DRY_RUN_WAVE = re.compile(r'^wave (\d+)$')
BUDGET = re.compile(r'^\d{1,7}\s*%?$')


def failed_text(row):
    """A failed card as the task's msg names it: its address, its verdict
    and the tool's words for it."""
    words = (row.get('verdict') or 'unknown').replace('_', ' ')
    message = row.get('message')
    return '%s %s%s' % (row.get('ip'), words, ': %s' % message if message else '')


def cards_words(n):
    return '%d card%s' % (n, '' if n == 1 else 's')


def failed_words(failed):
    return '%s failed: %s' % (cards_words(len(failed)),
                              '; '.join(failed_text(r) for r in failed[:20]) +
                              ('; ...' if len(failed) > 20 else ''))


def broadcast_cards(module):
    """Every card that answers the site host's broadcast: the cards of a run
    given none."""
    args = ['discover', '--json', option('wait', module.params['discover_wait'])]
    rc, out, err = run_cli(module, args)
    if rc != EXIT_ALL_OK:
        module.fail_json(msg=cli_message(err, rc), rc=rc, stderr_lines=stderr_lines(err, rc))
    return [c['ip'] for c in json_lines(module, out, rc, err) if c.get('ip')]


def upgrade_args(module, cards):
    """The tool's command line. Every value from the play goes as
    --option=value, the image and the cards after "--": none of them can
    be taken for an option, whatever it starts with."""
    p = module.params
    args = ['upgrade']
    if p['cards_file']:
        args.append(option('cards', p['cards_file']))
    args += [option('exclude', ex) for ex in p['exclude']]
    args += scan_args(p)
    if p['force_scan']:
        args.append('--force-scan')
    if p['user'] is not None:
        args.append(option('user', p['user']))
    if p['password_file']:
        args.append(option('password-file', p['password_file']))
    if p['transfer_limit'] is not None:
        args.append(option('transfer-limit', p['transfer_limit']))
    if p['settle'] is not None:
        args.append(option('settle', p['settle']))
    if p['force']:
        args.append('--force')
    if p['verify']:
        args.append('--verify')
    args.append(option('parallel', p['parallel']))
    if p['waves']:
        args.append(option('waves', ','.join(str(w).strip() for w in p['waves'])))
    for name in ('max_failures', 'max_unreachable', 'min_settled', 'wave_delay', 'order'):
        if p[name] is not None:
            args.append(option(name.replace('_', '-'), str(p[name]).strip()))
    if p['resume']:
        args.append(option('resume', p['resume']))
    if module.check_mode:
        args.append('--dry-run')
    else:
        args.append('--json')
        if p['report']:
            args.append(option('report', p['report']))
    return args + ['--', p['image']] + cards


def dry_run(module, args):
    rc, out, err = run_cli(module, args, module.params['password'])
    if rc != EXIT_ALL_OK:
        module.fail_json(msg=cli_message(err, rc), rc=rc, stderr_lines=stderr_lines(err, rc),
                         cards=[], summary=None, report=None)
    plan = []
    for line in lines_of(out):
        ip, _, rest = line.partition(' ')
        wave = DRY_RUN_WAVE.match(rest)
        plan.append(dict(ip=ip, wave=int(wave.group(1)) if wave else None,
                         message=None if wave else rest))
    plan_summary = next((l for l in lines_of(err) if l.startswith('plan: ')), None)
    module.exit_json(changed=any(c['wave'] for c in plan), plan=plan, plan_summary=plan_summary,
                     cards=[], summary=None, report=None, rc=rc,
                     stderr_lines=stderr_lines(err, rc))


def argument_spec():
    """The options, as DOCUMENTATION describes them."""
    options = dict(
        image=dict(type='path', required=True),
        cards=dict(type='list', elements='str'),
        cards_file=dict(type='path'),
        exclude=dict(type='list', elements='str', default=[]),
        waves=dict(type='list', elements='str'),
        max_failures=dict(type='str'),
        max_unreachable=dict(type='str'),
        min_settled=dict(type='int'),
        wave_delay=dict(type='str'),
        order=dict(type='str'),
        parallel=dict(type='int', default=4),
        verify=dict(type='bool', default=True),
        force=dict(type='bool', default=False),
        resume=dict(type='path'),
        report=dict(type='path'),
        user=dict(type='str'),
        password=dict(type='str', no_log=True),
        password_file=dict(type='path', no_log=False),
        transfer_limit=dict(type='int'),
        settle=dict(type='int'),
        rate=dict(type='int'),
        retries=dict(type='int', choices=[0, 1, 2]),
        force_scan=dict(type='bool', default=False),
        discover_wait=dict(type='int', default=3000),
    )
    options.update(COMMON_ARGS)
    return options


def main():
    module = AnsibleModule(argument_spec=argument_spec(), supports_check_mode=True,
                           mutually_exclusive=[('password', 'password_file')])
    p = module.params
    check_range(module, 'parallel', 1, 64)
    for name in ('max_failures', 'max_unreachable'):
        if p[name] is not None and not BUDGET.match(str(p[name]).strip()):
            module.fail_json(msg='%s: "%s" is not a number of cards or a percentage, like 3 '
                                 'or 10%%' % (name, p[name]))
    check_range(module, 'min_settled', 1, 1000000)
    check_range(module, 'transfer_limit', 1, 1440)
    check_range(module, 'settle', 1, 600)
    check_range(module, 'rate', 1, 100000)
    check_range(module, 'discover_wait', 0, 600000)
    check_address_entries(module, 'cards')
    check_address_entries(module, 'exclude')
    if p['waves'] is not None and not [w for w in p['waves'] if str(w).strip()]:
        module.fail_json(msg='waves is empty: give card counts or percentages, or leave it out')

    cards = list(p['cards'] or [])
    if not cards and not p['cards_file'] and not p['resume']:
        cards = broadcast_cards(module)
        if not cards:
            # Nothing found is no success: a site down, or the wrong host.
            module.fail_json(msg='no cards: the broadcast of this site host answered nothing; '
                                 'nothing was sent', changed=False, cards=[], summary=None,
                             report=None,
                             **({'plan': [], 'plan_summary': None} if module.check_mode else {}))

    args = upgrade_args(module, cards)
    if module.check_mode:
        dry_run(module, args)

    rc, out, err = run_cli(module, args, p['password'])
    objects = json_lines(module, out, rc, err)
    # The waves the policy held (the delay, told with when the next starts).
    held = [o['wave_held'] for o in objects if 'wave_held' in o]
    rows = [o for o in objects if 'summary' not in o and 'wave_held' not in o]
    # A tool from before the verdict: each row's from its result words.
    for row in rows:
        if not row.get('verdict'):
            row['verdict'] = row_verdict(row)
    summary = next((o['summary'] for o in reversed(objects) if 'summary' in o), None)
    report = p['report'] if p['report'] and os.path.isfile(p['report']) else None
    failed = [r for r in rows if rules_of(r['verdict']).fails_run]
    result = dict(changed=any(r['verdict'] in TOOK_IMAGE for r in rows), cards=rows,
                  summary=summary, report=report, rc=rc, stderr_lines=stderr_lines(err, rc),
                  waves_held=held)
    if rc == EXIT_ALL_OK and summary is not None:
        module.exit_json(**result)
    if rc == EXIT_HALTED:
        halt = next((l for l in lines_of(err) if l.startswith('Rollout halted')), None)
        reason = (summary or {}).get('reason')
        result['msg'] = halt or 'Rollout halted: %s' % (reason or cli_message(err, rc))
    elif rc == EXIT_STOPPED:
        kept_back = sum(1 for r in rows if r['verdict'] == NOT_STARTED_STOPPED)
        result['msg'] = 'Run stopped by the operator: %s not started' % cards_words(kept_back)
        if failed:
            result['msg'] += '; ' + failed_words(failed)
    elif failed:
        result['msg'] = failed_words(failed)
    elif rc == EXIT_ALL_OK:
        result['msg'] = 'daveridur-cli ended without its summary'
    else:
        result['msg'] = cli_message(err, rc)
    module.fail_json(**result)


if __name__ == '__main__':
    main()
