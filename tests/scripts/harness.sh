# Shared set-up of the script tests (sourced): the repository root, a scratch folder removed at
# exit, and fail, which reports a failed check and counts it in $failures.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
