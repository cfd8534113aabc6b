#!/usr/bin/env python3
"""The results of a check, as graders' and CI systems' tools read them.

    scripts/results.py [--junit FILE] [--gradescope FILE] [--seconds S] MANIFEST
    scripts/results.py --counts MANIFEST
    scripts/results.py --escape <TEXT
    scripts/results.py --ctest NAME FILE OUT

MANIFEST is scripts/exercise.sh's list of the tests it ran, a line each, its
fields parted by tabs: the exercise, the build, the test (Suite.Test, or
"build" for a copy that did not build), the result (passed, failed, skipped,
or error: a test that did not finish, a copy that did not build), the seconds
it took, the points it is worth, and a file holding the words under it (the
failure's report, or why it did not run).

--junit writes JUnit's XML: a <testsuite> for each exercise and build, a
<testcase> for each test, with a <failure>, <error> or <skipped> element
holding those words. --gradescope writes Gradescope's results.json: an entry
for each test, scored its points when it passed and none otherwise. A
skipped test is never counted as passed in either: it is a skipped element,
and an entry with no points earned whose output says why.

--counts prints, for a grades table, the number of tests passed, failed
(or not finished) and skipped (that no build ran), and the points earned,
parted by tabs.

--escape copies its input to its output, each control character but tab and
newline shown as \\xNN, for a terminal to print as text.

--ctest writes CTest's JUnit file FILE (ctest --output-junit) again as OUT,
under a <testsuites> named NAME that sums it up, with its text made fit for
XML 1.0.
"""
import argparse
import json
import re
import socket
import sys
import time
import xml.etree.ElementTree as ElementTree

# The escape sequences a terminal acts on, and the characters XML 1.0 does
# not allow, even escaped: a program's bytes must not break the file, nor
# colour a grader's page.
ESCAPES = re.compile(r'\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]*(\x07|\x1b\\)|[@-Z\\-_])')
NOT_XML = re.compile('[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ud800-\udfff\ufffe\uffff]')


def plain(text):
    """The text without escape sequences or control characters (but tab and
    newline), a carriage return read as a new line."""
    text = ESCAPES.sub('', text).replace('\r\n', '\n').replace('\r', '\n')
    return NOT_XML.sub('', text)


def escape(text):
    """The text with each control character but tab and newline shown as
    \\xNN, for a terminal to print as text."""
    return re.sub('[\x00-\x08\x0b-\x1f\x7f]', lambda match: f'\\x{ord(match.group()):02x}', text)


def read_manifest(path):
    tests = []
    with open(path, encoding='utf-8', errors='replace') as manifest:
        for line in manifest:
            exercise, build, name, result, seconds, points, words = line.rstrip('\n').split('\t')
            with open(words, encoding='utf-8', errors='replace') as text:
                tests.append({'exercise': exercise, 'build': build, 'name': name, 'result': result,
                              'seconds': float(seconds or 0), 'points': float(points),
                              'words': cut(plain(text.read()).rstrip('\n'))})
    return tests


def cut(text, most=65536):
    """The text, cut to its head past MOST characters: a grader's page shows
    a report, not megabytes of what a program wrote."""
    return text if len(text) <= most else text[:most] + f'\n[... {len(text) - most} characters left out ...]'


def first_line(text):
    return next((line.strip() for line in text.split('\n') if line.strip()), '')


def number(value):
    """A count of points as JSON gives it: 1, not 1.0."""
    return int(value) if value == int(value) else value


def suite_counts(element, cases):
    element.set('tests', str(len(cases)))
    for kind in ('failures', 'errors', 'skipped'):
        element.set(kind, str(sum(1 for case in cases if case == kind)))


def write_junit(tests, path):
    kinds = {'failed': 'failures', 'error': 'errors', 'skipped': 'skipped', 'passed': 'passed'}
    root = ElementTree.Element('testsuites', name='exercises')
    stamp = time.strftime('%Y-%m-%dT%H:%M:%S', time.localtime())
    groups = {}
    for test in tests:
        groups.setdefault((test['exercise'], test['build']), []).append(test)
    for (exercise, build), members in groups.items():
        suite = ElementTree.SubElement(root, 'testsuite', name=f'{exercise} ({build} build)')
        suite_counts(suite, [kinds[test['result']] for test in members])
        suite.set('time', f"{sum(test['seconds'] for test in members):.3f}")
        suite.set('timestamp', stamp)
        suite.set('hostname', socket.gethostname())
        for test in members:
            group, _, name = test['name'].rpartition('.')
            case = ElementTree.SubElement(suite, 'testcase', classname='.'.join(filter(None, (exercise, build, group))),
                                          name=name, time=f"{test['seconds']:.3f}")
            words = test['words']
            if test['result'] == 'failed':
                ElementTree.SubElement(case, 'failure', message=first_line(words), type='failure').text = words
            elif test['result'] == 'error':
                ElementTree.SubElement(case, 'error', message=first_line(words)).text = words
            elif test['result'] == 'skipped':
                ElementTree.SubElement(case, 'skipped', message=words.replace('\n', ' '))
    suite_counts(root, [kinds[test['result']] for test in tests])
    root.set('time', f"{sum(test['seconds'] for test in tests):.3f}")
    ElementTree.indent(root)
    ElementTree.ElementTree(root).write(path, encoding='UTF-8', xml_declaration=True)


def summary(tests):
    lines = []
    for exercise in dict.fromkeys(test['exercise'] for test in tests):
        # A test left out of one build but run in another is not told.
        mine = [test for test in tests if test['exercise'] == exercise and (test['result'] != 'skipped' or test['points'])]
        count = {result: sum(1 for test in mine if test['result'] == result)
                 for result in ('passed', 'failed', 'error', 'skipped')}
        line = f"{exercise}: {count['passed']} passed, {count['failed'] + count['error']} failed"
        if count['skipped']:
            line += f", {count['skipped']} could not run (not counted as passed)"
        lines.append(line + '.')
    earned = sum(test['points'] for test in tests if test['result'] == 'passed')
    lines.append(f"Score: {number(earned)} of {number(sum(test['points'] for test in tests))}.")
    return '\n'.join(lines)


def write_gradescope(tests, path, seconds):
    entries = []
    order = list(dict.fromkeys(test['exercise'] for test in tests))
    counts = {}
    for test in tests:
        exercise = order.index(test['exercise']) + 1
        counts[exercise] = counts.get(exercise, 0) + 1
        passed = test['result'] == 'passed'
        name = 'the copy builds' if test['name'] == 'build' else test['name']
        entry = {
            'name': f"{test['exercise']}: {name} ({test['build']} build)",
            'number': f'{exercise}.{counts[exercise]}',
            'score': number(test['points'] if passed else 0),
            'max_score': number(test['points']),
        }
        # Gradescope knows a test as passed or failed; a skipped one is
        # neither, and its output says why.
        if test['result'] != 'skipped':
            entry['status'] = 'passed' if passed else 'failed'
        entry.update({
            'output': test['words'] if test['words'] or not passed else 'Passed.',
            'tags': [test['exercise'], test['build'], test['result']],
            'visibility': 'visible',
            'extra_data': {'result': test['result'], 'seconds': test['seconds']},
        })
        entries.append(entry)
    results = {
        'score': number(sum(entry['score'] for entry in entries)),
        'execution_time': round(seconds, 3),
        'output': summary(tests),
        'visibility': 'visible',
        'stdout_visibility': 'hidden',
        'tests': entries,
    }
    with open(path, 'w', encoding='utf-8') as out:
        json.dump(results, out, indent=2, ensure_ascii=False)
        out.write('\n')


def rewrite_ctest(name, path, out):
    try:
        with open(path, encoding='utf-8', errors='replace') as source:
            text = source.read()
        root = ElementTree.fromstring(NOT_XML.sub('', ESCAPES.sub('', text)))
    except (OSError, ElementTree.ParseError):
        # No results, but a build's log, or nothing: one error, with the
        # log's end.
        lines = plain(text if 'text' in locals() else '').rstrip('\n').split('\n')[-40:]
        root = ElementTree.Element('testsuite', name=name, time='0')
        case = ElementTree.SubElement(root, 'testcase', classname=name, name='build', time='0')
        ElementTree.SubElement(case, 'error', message=f'the {name} configuration did not build, or no test ran'
                               ).text = '\n'.join(lines)
        suite_counts(root, ['errors'])
    suites = [root] if root.tag == 'testsuite' else list(root.iter('testsuite'))
    whole = ElementTree.Element('testsuites', name=name)
    cases = []
    for suite in suites:
        # CTest names no suite and no host.
        if suite.get('name', '(empty)') == '(empty)':
            suite.set('name', name)
        if not suite.get('hostname'):
            suite.set('hostname', socket.gethostname())
        if not suite.get('timestamp'):
            suite.set('timestamp', time.strftime('%Y-%m-%dT%H:%M:%S', time.localtime()))
        kinds = []
        for case in suite.iter('testcase'):
            kind = next((tag for tag in ('failure', 'error', 'skipped') if case.find(tag) is not None), 'passed')
            kinds.append({'failure': 'failures', 'error': 'errors'}.get(kind, kind))
            for element in case.iter():
                if element.text:
                    element.text = plain(element.text)
        suite_counts(suite, kinds)
        cases += kinds
        whole.append(suite)
    suite_counts(whole, cases)
    whole.set('time', f"{sum(float(suite.get('time', 0)) for suite in suites):.3f}")
    ElementTree.ElementTree(whole).write(out, encoding='UTF-8', xml_declaration=True)


def main():
    parser = argparse.ArgumentParser(description='The results of a check, as graders read them.')
    parser.add_argument('--junit')
    parser.add_argument('--gradescope')
    parser.add_argument('--seconds', type=float, default=0)
    parser.add_argument('--counts', action='store_true')
    parser.add_argument('--escape', action='store_true')
    parser.add_argument('--ctest', nargs=3, metavar=('NAME', 'FILE', 'OUT'))
    parser.add_argument('manifest', nargs='?')
    args = parser.parse_args()
    if args.escape:
        text = sys.stdin.buffer.read().decode('utf-8', errors='backslashreplace')
        sys.stdout.write(escape(text))
        return 0
    if args.ctest:
        rewrite_ctest(*args.ctest)
        return 0
    if not args.manifest:
        parser.error('a manifest is needed')
    tests = read_manifest(args.manifest)
    if args.counts:
        # A test left out of one build but run in another (worth nothing
        # there) is none of the three.
        counted = [test for test in tests if test['result'] != 'skipped' or test['points']]
        count = [sum(1 for test in counted if test['result'] in results)
                 for results in (('passed',), ('failed', 'error'), ('skipped',))]
        earned = sum(test['points'] for test in tests if test['result'] == 'passed')
        print(*count, number(earned), sep='\t')
    if args.junit:
        write_junit(tests, args.junit)
    if args.gradescope:
        write_gradescope(tests, args.gradescope, args.seconds or sum(test['seconds'] for test in tests))
    return 0


if __name__ == '__main__':
    sys.exit(main())
