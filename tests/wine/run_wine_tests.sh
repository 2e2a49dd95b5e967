#!/usr/bin/env bash
# The Windows form's end-to-end suite under wine64: the cases of tests/e2e/scenarios.table, run
# by the shared runner in one private wine prefix.
#
#   bash tests/wine/run_wine_tests.sh <windows-build-dir>
set -u
build=${1:?usage: run_wine_tests.sh <windows-build-dir>}
exec bash "$(dirname "$0")/../e2e/run_scenarios.sh" windows "$build"
