#!/usr/bin/env bash
# typecheck.sh DECLARATIONS SAMPLE: compiles a page script against the page API's declarations
# with every strict check on; any type error fails.
set -euo pipefail
declarations="${1:?usage: typecheck.sh DECLARATIONS SAMPLE}"
sample="${2:?usage: typecheck.sh DECLARATIONS SAMPLE}"
if ! command -v tsc >/dev/null; then
    echo "typecheck: tsc is missing (Debian package node-typescript, see scripts/install-deps.sh)" >&2
    exit 1
fi
[ -f "$declarations" ] || { echo "typecheck: $declarations missing" >&2; exit 1; }
echo "typecheck: tsc $(tsc --version) on $sample"
tsc --noEmit --strict --target es2020 --lib es2020,dom "$declarations" "$sample"
echo "typecheck: no errors"
