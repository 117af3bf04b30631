#!/usr/bin/env bash
# Deliberate faults, one at a time, to see whether the tests notice them.
# The faults are listed in tests/mutation/faults.txt (format in its header).
#
#   scripts/mutation.sh --check
#       checks every entry against the tree (file, line, original text, test
#       programs) and prints the stale ones with where their text went;
#       builds and changes nothing.
#   scripts/mutation.sh [--only ID[,ID...]] [--build DIR] [--jobs N] [--timeout SECONDS]
#       builds the named test programs on the unchanged tree and runs each
#       once (a program that fails there stops the run: it could not judge
#       a fault), starts the card services when a card suite is among them
#       (or uses those whose variables are exported), then for each fault:
#       puts the replacement on its line, builds the fault's test programs
#       (`cmake --build DIR --target ...`), puts the file back byte for
#       byte, and runs the programs (each given the larger of SECONDS,
#       default 300, and three times its unchanged run). A failing, crashing
#       or hanging program means the fault was caught; a build error means
#       the compiler caught it. The report (one row per fault and the total)
#       goes to DIR/mutation-report.txt, each fault's output to
#       DIR/mutation/ID.log. DIR defaults to build, configured when missing.
#
# The source tree is never left changed: the file under a fault is put back
# also on Ctrl-C or SIGTERM, and a run killed outright is repaired by the
# next start. A run refuses to start while files it would change have
# uncommitted changes.
# Exit code: 0 every fault run was caught; 1 a fault was missed or is
# stale; 2 the run could not start; 130 interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutation.py "$@"
