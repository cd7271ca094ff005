"""Runs one share of a black-box test module, so that ctest can run the
shares of a long module side by side:

    python run_shard.py test_install 2 3    # the second of three shares

The module's tests are dealt out in their usual order, one to each share in
turn; each share sets up the classes of its own tests. Output and exit status
are those of `python -m unittest -v`."""
from __future__ import annotations

import sys
import unittest


def flatten(suite: unittest.TestSuite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def main(argv: list[str]) -> int:
    module, index, count = argv[0], int(argv[1]), int(argv[2])
    if not 1 <= index <= count:
        print(f"share {index} of {count} does not exist", file=sys.stderr)
        return 2
    tests = list(flatten(unittest.defaultTestLoader.loadTestsFromName(module)))
    share = unittest.TestSuite(tests[index - 1::count])
    result = unittest.TextTestRunner(verbosity=2).run(share)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
