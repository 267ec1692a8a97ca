# -*- coding: utf-8 -*-
# What both modules share: finding daveridur-cli, running it with the
# password in its environment (never in its arguments), reading --json.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re

from ansible.module_utils.common.text.converters import to_text

# The tool reads the password from this variable when no --password-file
# is given: the variable is seen by root and the same user only, where
# every user of the host can read a command line.
PASSWORD_VARIABLE = 'DAVERIDUR_PASSWORD'

# daveridur-cli's exit status.
EXIT_ALL_OK = 0
EXIT_CARD_FAILED = 1
EXIT_USAGE = 2
EXIT_BAD_IMAGE = 3
EXIT_HALTED = 4
EXIT_STOPPED = 5

# The options both modules take, for their argument_spec.
COMMON_ARGS = dict(
    cli=dict(type='str', default='daveridur-cli'),
)


def cli_path(module):
    """The tool's path on the site host; fails the task when it is missing."""
    cli = module.params['cli']
    if os.sep in cli or (os.altsep and os.altsep in cli):
        if not (os.path.isfile(cli) and os.access(cli, os.X_OK)):
            module.fail_json(msg='daveridur-cli not found or not executable: %s' % cli)
        return cli
    return module.get_bin_path(cli, required=True)


def run_cli(module, args, password=None):
    """(rc, stdout, stderr) of the tool run with ARGS (a list: no shell).
    A password given goes into the tool's environment; without one the
    variable is left as the site host has it."""
    env = {}
    if password is not None:
        env[PASSWORD_VARIABLE] = password
    return module.run_command([cli_path(module)] + list(args), environ_update=env)


def lines_of(text):
    return [line.rstrip('\r') for line in text.splitlines() if line.strip()]


def json_lines(module, stdout, rc, stderr):
    """The objects of --json output, one a line; a line that is not JSON
    fails the task, with what the tool said."""
    objects = []
    for line in lines_of(stdout):
        try:
            objects.append(json.loads(line))
        except ValueError:
            module.fail_json(msg='daveridur-cli printed a line that is not JSON: %s' % line,
                             rc=rc, stdout=stdout, stderr=stderr)
    return objects


def stderr_lines(stderr, rc):
    """The tool's progress lines; of a refused command line, its reason
    without the usage text that follows it."""
    lines = lines_of(stderr)
    if rc == EXIT_USAGE:
        lines = [line for line in lines if line.startswith('daveridur-cli: ')] or lines[:1]
    return lines


def cli_message(stderr, rc):
    """The tool's own words for a refusal: its first line that is not the
    usage text's, without the program's name."""
    for line in lines_of(stderr):
        if line.startswith('daveridur-cli: '):
            return line[len('daveridur-cli: '):]
    lines = lines_of(stderr)
    return lines[-1] if lines else 'daveridur-cli exited with status %d' % rc


def check_range(module, name, low, high):
    value = module.params.get(name)
    if value is not None and not low <= value <= high:
        module.fail_json(msg='%s must be from %d to %d, not %d' % (name, low, high, value))


def scan_args(params):
    """The scan's pace: --rate and --retries when given."""
    args = []
    if params.get('rate') is not None:
        args.append('--rate=%d' % params['rate'])
    if params.get('retries') is not None:
        args.append('--retries=%d' % params['retries'])
    return args


# What the tool reads as a card or a range: an address (four numbers 0-255
# without leading zeros), a.b.c.d/n or a.b.c.d-e.f.g.h, or a comma list of
# these. Only the shape: the tool says what else is wrong with one (a /8, a
# loopback address). Anything else, an option above all, never reaches it.
_NUMBER = r'(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])'
_ADDRESS = r'%s(?:\.%s){3}' % (_NUMBER, _NUMBER)
_RANGE_ITEM = re.compile(r'%s(?:/[0-9]{1,2}|-%s)?\Z' % (_ADDRESS, _ADDRESS))


def is_address_entry(entry):
    return all(_RANGE_ITEM.match(item.strip(' \t')) for item in to_text(entry).split(','))


def check_address_entries(module, name):
    """Fails the task on the first entry of the list option NAME that is not
    an address or a range, naming it."""
    for entry in module.params.get(name) or ():
        if not is_address_entry(entry):
            module.fail_json(msg='%s: "%s" is not a card address or range (a.b.c.d, a.b.c.d/n, '
                                 'a.b.c.d-e.f.g.h, or a comma list of these); nothing was sent'
                                 % (name, entry))


def option(name, value):
    """--name=value: the value stays a value, whatever it starts with."""
    return '--%s=%s' % (name, value)


def address_key(ip):
    try:
        return tuple(int(part) for part in ip.split('.'))
    except (AttributeError, ValueError):
        return (256,)
