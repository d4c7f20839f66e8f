#!/usr/bin/env python3
"""Reads the JUnit file of one CTest run (ctest --output-junit) and prints one line per test,
tab-separated, for test.sh to count:

    passed  NAME
    failed  NAME    WHY
    skipped NAME    REASON
    case-skipped NAME    REASON   (a GoogleTest case that skipped itself inside a passing test)

CTest's own summary counts a skipped test as passed and prints no reason for it; this tells
the three apart. A test CTest could not start at all (its executable missing) is reported
"notrun" in the JUnit file just like a skip: that is a failure here, not a skip.
"""
import sys
import xml.etree.ElementTree as ET


def one_line(text):
    return " ".join(text.split())[:300]


def skip_reason(out, fallback):
    lines = [line.strip() for line in out.splitlines() if line.strip()]
    for line in lines:
        if "SKIPPED" in line:
            return line
    return lines[-1] if lines else fallback


def case_skips(out):
    """GoogleTest prints 'file:line: Skipped', the message, then '[  SKIPPED ] Suite.Case'."""
    lines = out.splitlines()
    found = []
    for i, line in enumerate(lines):
        if line.startswith("[  SKIPPED ] ") and " ms)" in line:
            name = line[len("[  SKIPPED ] "):].split(" (")[0]
            reason = ""
            for j in range(i - 1, max(i - 20, -1), -1):
                if lines[j].rstrip().endswith(": Skipped"):
                    reason = one_line(" ".join(lines[j + 1:i]))
                    break
            found.append((name, reason or "no reason given"))
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: ctest_results.py JUNIT.xml")
    root = ET.parse(sys.argv[1]).getroot()
    for case in root.iter("testcase"):
        name = case.get("name", "?")
        status = case.get("status", "")
        out = case.findtext("system-out") or ""
        skipped = case.find("skipped")
        message = skipped.get("message", "") if skipped is not None else ""
        if status == "run":
            print(f"passed\t{name}")
            for case_name, reason in case_skips(out):
                print(f"case-skipped\t{name}: {case_name}\t{reason}")
        elif status == "notrun" and message.startswith("SKIP_"):
            print(f"skipped\t{name}\t{one_line(skip_reason(out, message))}")
        elif status == "disabled":
            print(f"skipped\t{name}\tdisabled in the build")
        else:
            last = out.strip().splitlines()[-1] if out.strip() else ""
            print(f"failed\t{name}\t{one_line(message or last or status or 'failed')}")


if __name__ == "__main__":
    main()
