# Shared by the build scripts: prerequisites they install when missing.

# CMake 3.26 or newer and ninja, from PyPI when the machine has none (or an
# older CMake). $1: the interpreter whose pip installs them.
ensure_cmake() {
  local py=$1 v=""
  if command -v cmake >/dev/null 2>&1; then
    v=$(cmake --version | head -n 1 | sed 's/[^0-9.]*\([0-9.]*\).*/\1/')
  fi
  if [ -z "$v" ] || [ "$(printf '%s\n3.26\n' "$v" | sort -V | head -n 1)" != "3.26" ] \
      || ! command -v ninja >/dev/null 2>&1; then
    echo "installing cmake and ninja from PyPI"
    "$py" -m pip install -q "cmake>=3.26" ninja
    hash -r
  fi
}
