# Shared by scripts/test and scripts/demo: install what a fresh machine lacks.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"

ensure_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    echo "installing Debian packages: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

ensure_python_packages() {
  local missing=()
  for spec in "$@"; do
    local mod="${spec%%=*}"
    mod="${mod//-/_}"
    "$PY" -c "import ${mod}" 2>/dev/null || missing+=("${spec#*=}")
  done
  if ((${#missing[@]})); then
    echo "installing Python packages: ${missing[*]}"
    "$PY" -m pip install -q "${missing[@]}"
  fi
}

ensure_build_deps() {
  ensure_debian_packages g++ libeigen3-dev nlohmann-json3-dev libgtest-dev
  ensure_python_packages scikit_build_core=scikit-build-core cmake ninja
}

install_module() {
  "$PY" -m pip install -q --no-build-isolation "$ROOT"
}
