#!/usr/bin/env bash
# Builds the module once, then installs that one wheel with the test
# dependencies into a fresh virtual environment per interpreter (3.10 to 3.13,
# where installed) and runs the whole test suite in each.
#
#   bash scripts/test.sh                 every supported interpreter found
#   WEXO_PYTHONS="3.13" bash scripts/test.sh
#   bash scripts/test.sh -k tables       extra arguments go to pytest
#   WEXO_WHEEL=dist/release/wexo_native-...whl bash scripts/test.sh
#                                        tests that wheel instead of building one
#   WEXO_SLOW=all bash scripts/test.sh   the cases marked slow under every interpreter
#                                        (by default only under the newest)
set -euo pipefail
cd "$(dirname "$0")/.."

required="3.10 3.13"             # the oldest and newest supported: never skipped
pythons=${WEXO_PYTHONS:-"3.10 3.11 3.12 3.13"}
build_python=${WEXO_BUILD_PYTHON:-python3}

find_python() {  # prints the newest installed interpreter of version $1
  local v=$1 root p
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    p=$(ls -d "$root"/versions/"$v".* 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -n "$p" ] && [ -x "$p/bin/python$v" ]; then echo "$p/bin/python$v"; return; fi
  fi
  command -v "python$v" 2>/dev/null || true
}

if [ -n "${WEXO_WHEEL:-}" ]; then
  wheel=$(realpath "$WEXO_WHEEL")
  echo "testing $wheel"
else
  rm -rf dist/wexo_native-*.whl
  "$build_python" -m pip wheel --no-deps -q -w dist .
  wheel=$(ls dist/wexo_native-*.whl)
  echo "built $wheel"
fi

# The cases marked slow (large trees) run once, under the newest interpreter found; the
# others leave them out. WEXO_SLOW=all runs them everywhere.
newest=""
for v in $pythons; do [ -n "$(find_python "$v")" ] && newest=$v; done

status=0
summary=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for v in $pythons; do
  py=$(find_python "$v")
  if [ -z "$py" ]; then
    case " $required " in
      *" $v "*) echo "error: Python $v is required and not installed" >&2; exit 1 ;;
      *) echo "skipping Python $v: not installed"; summary+=("Python $v: not installed, skipped"); continue ;;
    esac
  fi
  venv=".venv-test-$v"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$wheel[test]"
  full=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')
  echo "== Python $v ($full)"
  # run from tests/ so the checkout's own sources cannot shadow the installed package
  set +e
  only_quick=()
  if [ "$v" != "$newest" ] && [ "${WEXO_SLOW:-}" != all ]; then only_quick=(-m "not slow"); fi
  (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "${only_quick[@]}" "$@") 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  # pytest's last line: "1262 passed, 1 skipped in 98.12s"; exit status 5 means no tests ran
  last=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | sed 's/^=* *//; s/ *=*$//')
  if [ "$rc" -eq 0 ]; then
    summary+=("Python $full: ok: $last")
  else
    summary+=("Python $full: FAILED (pytest exit status $rc): $last")
    status=1
  fi
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
