# -*- coding: utf-8 -*-
# What became of a card, as daveridur-cli judges it: one verdict word per
# card (the report's verdict column, --json's "verdict") and what the word
# means for the run. The upgrade module and the summary callback read the
# word; neither judges a row's result words on its own.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

from collections import namedtuple

VerdictRules = namedtuple('VerdictRules', 'word fine fails_run budget')

# The tool's table (upgrade/record/verdict.cpp), in its order: the word; the card
# is where the run wanted it; it fails the run; it counts against the
# rollout's failure budget. The collection's test compares the two.
VERDICTS = (
    VerdictRules('applied', True, False, False),
    VerdictRules('sent', True, False, False),
    VerdictRules('unverifiable', True, False, False),
    VerdictRules('current', True, False, False),
    VerdictRules('done_before', True, False, False),
    VerdictRules('checking', False, True, False),
    VerdictRules('not_applied', False, True, True),
    VerdictRules('no_answer_after', False, True, True),
    VerdictRules('refused', False, True, True),
    VerdictRules('transfer_failed', False, True, True),
    VerdictRules('aborted', False, True, True),
    VerdictRules('no_connection', False, True, False),
    VerdictRules('not_started_halted', False, False, False),
    VerdictRules('not_started_stopped', False, False, False),
    VerdictRules('not_started_window', False, True, False),
    VerdictRules('pending', False, True, False),
)
RULES = dict((v.word, v) for v in VERDICTS)

# A word this collection does not know (a newer tool's) is taken as failed:
# better a site reported failed than a card reported done that is not.
UNKNOWN = VerdictRules(None, False, True, False)

# The cards that took the image (the task is changed), and those not sent
# because they needed nothing.
TOOK_IMAGE = ('applied', 'sent', 'unverifiable')
SKIPPED = ('current', 'done_before')
NOT_STARTED_STOPPED = 'not_started_stopped'

# A row of a tool from before the verdict: its verdict from its result and
# verified words, as the tool itself reads such a report (upgrade/
# kept_report.cpp: as a run without checks, the message not kept for a
# card not started).
WORDS_VERDICTS = {
    ('ok', ''): 'sent',
    ('timeout', ''): 'transfer_failed',
    ('card_error', ''): 'refused',
    ('aborted', ''): 'aborted',
    ('no_connection', ''): 'no_connection',
    ('socket_error', ''): 'transfer_failed',
    ('no_memory', ''): 'transfer_failed',
    ('too_large', ''): 'transfer_failed',
    ('no_session', ''): 'transfer_failed',
    ('ok', 'applied'): 'applied',
    ('ok', 'not_applied'): 'not_applied',
    ('ok', 'no_answer'): 'no_answer_after',
    ('ok', 'not_verified'): 'unverifiable',
    ('skipped_version', ''): 'current',
    ('skipped_done', ''): 'done_before',
    ('not_started', ''): 'not_started_halted',
    ('pending', ''): 'pending',
    ('sending', ''): 'pending',
}


def row_verdict(row):
    """The row's verdict word: its own, or for a row without one, the word
    its result and verified words stand for (None when they stand for none)."""
    word = row.get('verdict')
    if word:
        return word
    return WORDS_VERDICTS.get((row.get('result') or '', row.get('verified') or ''))


def rules_of(word):
    return RULES.get(word, UNKNOWN)


def card_group(word):
    """Where a card counts in a summary: 'failed' (its verdict fails the
    run: a card not started outside the window too), 'not_started' (a halt
    or the operator's stop kept it back), 'skipped' (it needed nothing), or
    'applied' (it took the image)."""
    if rules_of(word).fails_run:
        return 'failed'
    if word in TOOK_IMAGE:
        return 'applied'
    if word in SKIPPED:
        return 'skipped'
    return 'not_started'


def card_groups(rows):
    """applied, failed, not_started and skipped: how many of the rows each."""
    counts = dict(applied=0, failed=0, not_started=0, skipped=0)
    for row in rows or ():
        if isinstance(row, dict):
            counts[card_group(row_verdict(row))] += 1
    return counts
