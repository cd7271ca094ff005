#!/usr/bin/env python3
"""Runs the sandbox cloud until SIGTERM or SIGINT.

    python3 tests/tools/sandbox_cloud/sandbox.py --state-dir DIR [--scenario FILE]
                                                 [--domain D] [--port N]

Prints one JSON line on standard output once it accepts connections:
{"port": ..., "ca_file": ..., "log_file": ..., "scenario_file": ..., ...}
"""
from __future__ import annotations

import argparse
import json
import signal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from sandbox_cloud.api import Sandbox  # noqa: E402
from sandbox_cloud.scenario import DEFAULT_DOMAIN  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True, type=Path,
                        help="folder for the CA, the log and (without --scenario) the scenario")
    parser.add_argument("--scenario", type=Path,
                        help="scenario JSON file, read on every request "
                             "(default: <state-dir>/scenario.json with the default scenario)")
    parser.add_argument("--domain", default=DEFAULT_DOMAIN, help="service domain")
    parser.add_argument("--port", type=int, default=0, help="loopback port (default: any free)")
    args = parser.parse_args(argv)

    # The signals that end it are taken by sigwait, not by a handler: a handler
    # that sets a threading.Event deadlocks when the signal lands while the
    # main thread holds the Event's own lock (entering or leaving its wait),
    # and the sandbox then never ends. Blocked before any thread starts, so
    # that every thread leaves them to the main thread.
    stops = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stops)

    sandbox = Sandbox(state_dir=args.state_dir, scenario_file=args.scenario,
                      domain=args.domain, port=args.port)
    sandbox.start()
    try:
        print(json.dumps(sandbox.ready_info()), flush=True)
        signal.sigwait(stops)
    finally:
        sandbox.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
