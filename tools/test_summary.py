#!/usr/bin/python3
"""Sums up the JUnit result files of a catkin test run.

Prints every failed or errored test case, then one closing line
"N passed, N failed". Exits non-zero when anything failed or no result was
found at all (a run that tested nothing must not look green).
"""
import os
import sys
import xml.etree.ElementTree as ET


def cases(path):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        yield (os.path.basename(path), 'unreadable result file: %s' % e)
        return
    for case in root.iter('testcase'):
        name = '%s.%s' % (case.get('classname', ''), case.get('name', ''))
        bad = case.find('failure')
        if bad is None:
            bad = case.find('error')
        if case.find('skipped') is not None:
            continue
        yield (name, None if bad is None else (bad.get('message') or bad.text or 'failed'))


def main():
    top = sys.argv[1] if len(sys.argv) > 1 else 'build/test_results'
    passed, failed = 0, []
    for dirpath, _, files in os.walk(top):
        for f in sorted(files):
            if f.endswith('.xml'):
                for name, problem in cases(os.path.join(dirpath, f)):
                    if problem is None:
                        passed += 1
                    else:
                        failed.append((os.path.relpath(os.path.join(dirpath, f), top), name, problem))
    for result_file, name, problem in failed:
        print('FAILED %s (%s): %s' % (name, result_file, problem.strip().splitlines()[0][:300]))
    if passed + len(failed) == 0:
        print('no test results found under %s' % top)
        failed.append(None)
    print('%d passed, %d failed' % (passed, len(failed)))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
