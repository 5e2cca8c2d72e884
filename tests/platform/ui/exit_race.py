"""Runs the exit-race program many times, a few at a time, each in a fresh home folder, and fails when
any run ends other than with 0 or prints a sanitizer report (the sanitizer builds report a member call
on an object that exit destroyed under a worker).

    exit_race.py PROGRAM [RUNS]
"""
import concurrent.futures
import os
import subprocess
import sys
import tempfile

REPORTS = ("runtime error", "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer")


def run_once(program):
    with tempfile.TemporaryDirectory() as home:
        try:
            done = subprocess.run([program, home], capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            return "hung for 60 s"
    output = done.stdout + done.stderr
    if done.returncode != 0 or any(report in output for report in REPORTS):
        return "exit %d\n%s" % (done.returncode, output[-4000:])
    return None


def main():
    program = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(4, os.cpu_count() or 1)) as pool:
        failures = [f for f in pool.map(lambda _: run_once(program), range(runs)) if f]
    for failure in failures[:3]:
        print(failure)
    print("%d passed, %d failed" % (runs - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
