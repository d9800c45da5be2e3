#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, warnings treated as
# errors, then checks that the API reference covers every public name.
# Installs the package with its pinned "docs" tools first, unless given
# --no-install (for callers that have already installed ".[docs]").
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
OUT=docs/_build/html

if [ "${1:-}" != "--no-install" ]; then
  "$PY" -m pip install -q --disable-pip-version-check ".[docs]"
fi

rm -rf docs/_build docs/_generated docs/reference/api
start=$SECONDS
"$PY" -m sphinx -W --keep-going -E -q -b html -d docs/_build/doctrees docs "$OUT"

# Every name the package exports has its entry in the reference.
"$PY" - "$OUT/objects.inv" <<'PYEOF'
import sys

import tarnel
from sphinx.util.inventory import InventoryFile

with open(sys.argv[1], "rb") as f:
    inventory = InventoryFile.load(f, "", lambda base, uri: uri)
entries_by_kind = getattr(inventory, "data", inventory)
documented = {name for kind, entries in entries_by_kind.items()
              if kind.startswith("py:") for name in entries}
missing = sorted(n for n in tarnel.__all__ if f"tarnel.{n}" not in documented)
if missing:
    sys.exit(f"the API reference lacks: {', '.join(missing)}")
print(f"API reference: all {len(tarnel.__all__)} public names documented")
PYEOF
echo "documentation built in $((SECONDS - start)) s: $OUT/index.html"
