"""Checks that a test script counts and prints one line each: "ok" or "FAIL"."""


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def equal(self, what, actual, expected):
        if actual == expected:
            self.passed += 1
            print(f"ok    {what}: {actual!r}")
        else:
            self.fail(f"{what}: {actual!r}, expected {expected!r}")

    def fail(self, what):
        self.failed += 1
        print(f"FAIL  {what}")
