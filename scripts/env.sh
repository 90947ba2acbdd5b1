# Shared set-up of scripts/test and scripts/demo; source it, then call vorn_setup.
#
# vorn_setup makes sure that the Debian packages, a Python 3.13 virtual environment with the PyPI
# packages, and an up-to-date build (module, plugins, test plugins, C++ tests) are there. Every step
# is skipped when its result is already present, so a second run is quick.
set -euo pipefail

VORN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VORN_VENV="${VORN_VENV:-$VORN_ROOT/.venv}"
VORN_PY="$VORN_VENV/bin/python"
# Debian packages the build needs: Boost (DLL is header-only), spdlog and fmt, readerwriterqueue,
# GoogleTest, and a compiler.
VORN_APT_PACKAGES=(g++ make libboost-dev libboost-filesystem-dev libboost-system-dev libspdlog-dev
    libfmt-dev libreaderwriterqueue-dev libgtest-dev libgmock-dev)

vorn_log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

vorn_apt_packages() {
    local missing=()
    for pkg in "${VORN_APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    vorn_log "Installing Debian packages: ${missing[*]}"
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

vorn_find_python313() {
    local candidates=(python3.13)
    if command -v pyenv >/dev/null; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13)
    for py in "${candidates[@]}"; do
        # pyenv shims exist for every version; only accept an interpreter that really runs 3.13.
        if "$py" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$py"
            return 0
        fi
    done
    echo "Python 3.13 not found (looked for python3.13, pyenv's 3.13.x and /usr/bin/python3.13)" >&2
    exit 1
}

vorn_venv() {
    if ! "$VORN_PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        local py
        py="$(vorn_find_python313)"
        vorn_log "Creating the virtual environment $VORN_VENV with $py"
        rm -rf "$VORN_VENV"
        "$py" -m venv "$VORN_VENV"
    fi
    # Requirements come from pyproject.toml: the build requirements and the test and example extras.
    local stamp="$VORN_VENV/.vorn-requirements"
    local wanted
    wanted="$("$VORN_PY" - "$VORN_ROOT/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
reqs = list(project["build-system"]["requires"]) + ["ninja"]
for extra in ("test", "examples"):
    reqs += project["project"]["optional-dependencies"][extra]
print("\n".join(sorted(set(reqs))))
PY
)"
    if ! command -v cmake >/dev/null || ! cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 3.24)
message(FATAL_ERROR "old")
endif()' >/dev/null 2>&1; then
        wanted+=$'\n'"cmake>=3.24"
    fi
    if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$wanted" ]]; then
        vorn_log "Installing Python packages into $VORN_VENV"
        "$VORN_PY" -m pip install -q --disable-pip-version-check --upgrade pip
        # shellcheck disable=SC2086
        "$VORN_PY" -m pip install -q --disable-pip-version-check $(echo "$wanted" | tr '\n' ' ')
        echo "$wanted" >"$stamp"
    fi
    export PATH="$VORN_VENV/bin:$PATH"
}

vorn_build() {
    vorn_log "Building and installing pyvorn_device, the plugins and the C++ tests"
    cd "$VORN_ROOT"
    "$VORN_PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
        -C cmake.define.VORN_BUILD_TESTS=ON -C cmake.define.VORN_WERROR=ON \
        -C build.verbose=false .
    # pyproject.toml keeps pip's CMake build here, so rebuilds are incremental.
    VORN_BUILD_DIR="$VORN_ROOT/build/skbuild"
    export VORN_BUILD_DIR
}

# The native tests built with ThreadSanitizer (no Python module) in build/tsan; sets VORN_TSAN_DIR.
vorn_build_tsan() {
    vorn_log "Building the C++ tests with ThreadSanitizer"
    VORN_TSAN_DIR="$VORN_ROOT/build/tsan"
    local generator=()
    [[ -f "$VORN_TSAN_DIR/CMakeCache.txt" ]] || generator=(-G Ninja)
    cmake -S "$VORN_ROOT" -B "$VORN_TSAN_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORN_BUILD_PYTHON=OFF -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=thread -DVORN_WERROR=ON \
        >/dev/null
    if ! cmake --build "$VORN_TSAN_DIR" -j2 >"$VORN_TSAN_DIR/build.log" 2>&1; then
        cat "$VORN_TSAN_DIR/build.log" >&2
        exit 1
    fi
    export VORN_TSAN_DIR
}

vorn_setup() {
    vorn_apt_packages
    vorn_venv
    vorn_build
}
