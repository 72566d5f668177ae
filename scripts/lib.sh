# Shared set-up for the project's commands: finds an interpreter, makes a
# virtual environment, installs what the build and the tests need, builds.
# Sourced by scripts/demo.sh and scripts/test.sh.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

log() { printf '==> %s\n' "$*" >&2; }

# find_python MINOR: $PYTHON (for 3.12 only), then pythonX.Y on PATH, then pyenv's.
find_python() {
  local minor="$1" cand
  if [ "$minor" = "3.12" ] && [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  # pyenv's shims answer to every name, so check that the command really runs.
  if command -v "python$minor" >/dev/null 2>&1 && "python$minor" -c 'import sys' >/dev/null 2>&1; then
    command -v "python$minor"; return
  fi
  local root
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for cand in $(ls -d "$root"/versions/"$minor".* 2>/dev/null | sort -V -r); do
    if [ -x "$cand/bin/python" ]; then echo "$cand/bin/python"; return; fi
  done
  return 1
}

# Debian packages the build needs: ICU, libcrypto, GoogleTest for the C++ tests.
ensure_debian_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# make_venv PYTHON DIR: a virtual environment with build and test dependencies.
make_venv() {
  local py="$1" dir="$2"
  if [ ! -x "$dir/bin/python" ]; then
    log "creating $dir from $py"
    "$py" -m venv "$dir"
  fi
  local stamp="$dir/.deps-$(sha256sum "$ROOT/scripts/requirements.txt" | cut -c1-16)"
  if [ ! -f "$stamp" ]; then
    "$dir/bin/python" -m pip install -q --upgrade pip
    "$dir/bin/python" -m pip install -q -r "$ROOT/scripts/requirements.txt"
    touch "$stamp"
  fi
}

# build_module VENV: builds and installs the extension into the environment.
build_module() {
  local dir="$1"
  log "building the extension for $("$dir/bin/python" -c 'import sys; print(sys.version.split()[0])')"
  (cd "$ROOT" && CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
    "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall .)
}

setup_312() {
  ensure_debian_packages g++ libicu-dev libssl-dev pkg-config
  local py
  py="$(find_python 3.12)" || { echo "no Python 3.12 found (set PYTHON)" >&2; exit 1; }
  VENV312="$ROOT/.venv"
  make_venv "$py" "$VENV312"
  # The environment's cmake and ninja (from PyPI) serve every build step,
  # also on a machine that has none of its own.
  export PATH="$VENV312/bin:$PATH"
  build_module "$VENV312"
}
