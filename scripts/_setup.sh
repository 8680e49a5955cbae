# Shared by scripts/test, scripts/demo, scripts/fuzz and bench/run: install what a fresh machine
# lacks.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# pip would look for a release of itself on every call and print a notice each time.
export PIP_DISABLE_PIP_VERSION_CHECK=1
VENV="$ROOT/.venv"
PY="" # the interpreter, chosen by use_python

ensure_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    echo "installing Debian packages: ${missing[*]}"
    echo "(if another apt-get is running, this waits up to 10 minutes for its lock)"
    local sudo=()
    [[ $(id -u) -ne 0 ]] && sudo=(sudo)
    # apt-get install waits for the dpkg lock by itself (DPkg::Lock::Timeout); apt-get update
    # fails at once on the package lists' lock, so it is retried while that lock is taken.
    local apt=(apt-get -o DPkg::Lock::Timeout=600) out deadline=$((SECONDS + 600))
    until out="$("${sudo[@]}" "${apt[@]}" update -qq 2>&1)"; do
      if [[ $out != *"Could not get lock"* ]] || ((SECONDS >= deadline)); then
        printf '%s\n' "$out" >&2
        return 1
      fi
      sleep 5
    done
    [[ -z $out ]] || printf '%s\n' "$out" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "${missing[@]}" \
      >/dev/null
  fi
}

# Chooses the interpreter PY that everything is installed into and run with:
#   - $PYTHON if set, as it is;
#   - else the active virtual environment ($VIRTUAL_ENV), as it is;
#   - else the repository's own virtual environment .venv, made on first use with
#     `python3 -m venv` from the first python3 on PATH (Debian's own python3 refuses pip installs
#     outside a virtual environment).
# The interpreter's scripts directory goes first on PATH, so the cmake, ninja and ctest that pip
# installs into it are the ones run.
use_python() {
  if [[ -n "${PYTHON:-}" ]]; then
    PY="$PYTHON"
  elif [[ -n "${VIRTUAL_ENV:-}" ]]; then
    PY="$VIRTUAL_ENV/bin/python"
  else
    ensure_debian_packages python3-venv python3-dev
    if ! "$VENV/bin/python" -m pip --version >/dev/null 2>&1; then
      echo "creating the virtual environment $VENV with $(command -v python3)"
      python3 -m venv --clear "$VENV"
    fi
    PY="$VENV/bin/python"
    export VIRTUAL_ENV="$VENV"
  fi
  local scripts
  scripts="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"
  export PATH="$scripts:$PATH"
}

ensure_python_packages() {
  local missing=()
  for spec in "$@"; do
    local mod="${spec%%=*}"
    mod="${mod//-/_}"
    "$PY" -c "import ${mod}" 2>/dev/null || missing+=("${spec#*=}")
  done
  if ((${#missing[@]})); then
    echo "installing Python packages into $PY: ${missing[*]}"
    "$PY" -m pip install -q "${missing[@]}"
  fi
}

# Also chooses the interpreter (use_python) if that is not done yet.
ensure_build_deps() {
  if [[ -z $PY ]]; then
    use_python
  fi
  ensure_debian_packages g++ libeigen3-dev nlohmann-json3-dev libgtest-dev
  ensure_python_packages scikit_build_core=scikit-build-core cmake ninja
}

install_module() {
  "$PY" -m pip install -q --no-build-isolation "$ROOT"
}
