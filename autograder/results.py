#!/usr/bin/env python3
"""The grading service's results file (results.json), where the check wrote
none that can be read, or where the submission needs a word above the tests.

  results.py none OUT FILE...     no file of any exercise was submitted: score
                                  0, and the files that were expected
  results.py crash OUT LOG NOTE   the check could not give a verdict: score 0,
                                  NOTE, and what happened (LOG, its last lines)
  results.py note OUT FROM LOG NOTE
                                  the check's results (FROM) with NOTE put first
                                  in the top-level output; a FROM that is
                                  missing or is no such file counts as a crash
"""
import json
import sys

# What a student reads of a crash: the end of the check's log, where it
# says what stopped it.
LOG_LINES = 40


def tail(path):
    try:
        with open(path, encoding='utf-8', errors='replace') as log:
            lines = log.read().splitlines()
    except OSError as error:
        return '(no log: %s)' % error
    # Control bytes other than the line's own are not for a page to act on.
    lines = [''.join(c if c.isprintable() or c == '\t' else '?' for c in line) for line in lines[-LOG_LINES:]]
    return '\n'.join(lines)


def write(out, results):
    with open(out, 'w', encoding='utf-8') as file:
        json.dump(results, file, indent=1)
        file.write('\n')


def zero(output):
    # A results file with no test needs its score given.
    return {'score': 0, 'output': output, 'tests': [], 'visibility': 'visible', 'stdout_visibility': 'hidden'}


def crash(out, log, note):
    words = 'The check could not give a verdict, so the score is 0. What happened:\n' + tail(log)
    write(out, zero(note + '\n\n' + words if note else words))


def main(argv):
    if len(argv) >= 3 and argv[1] == 'none':
        write(out=argv[2], results=zero('No file of any exercise was found in the submission. Expected, '
                                        'at its top or in folders: ' + ', '.join(argv[3:]) + '.'))
    elif len(argv) == 5 and argv[1] == 'crash':
        crash(*argv[2:])
    elif len(argv) == 6 and argv[1] == 'note':
        out, given, log, note = argv[2:]
        try:
            with open(given, encoding='utf-8') as file:
                results = json.load(file)
            if not isinstance(results, dict) or not isinstance(results.get('tests'), list):
                raise ValueError('no list of tests')
        except (OSError, ValueError) as error:
            crash(out, log, note + '\n(the check wrote no results: %s)' % error)
            return 0
        output = results.get('output', '')
        results['output'] = note + ('\n\n' + output if output else '')
        write(out, results)
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
