# Shared set-up of the scripts here; source it, then call vorn_setup.
#
# vorn_setup makes sure that the Debian packages, a Python 3.13 virtual environment with the PyPI
# packages, and an up-to-date build (module, plugins, test plugins, C++ tests) are there. Every step
# is skipped when its result is already present, so a second run is quick.
set -euo pipefail

VORN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VORN_VENV="${VORN_VENV:-$VORN_ROOT/.venv}"
VORN_PY="$VORN_VENV/bin/python"
# The build with AddressSanitizer and UndefinedBehaviorSanitizer, and its own virtual environment.
VORN_ASAN_DIR="$VORN_ROOT/build/asan"
VORN_ASAN_PY="$VORN_ASAN_DIR/venv/bin/python"
# Every finding of UndefinedBehaviorSanitizer ends the process (the build makes them fatal, too).
VORN_UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
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

# vorn_venv [DIR]: the virtual environment DIR (default $VORN_VENV) with the PyPI packages, its
# bin directory first on PATH.
vorn_venv() {
    local venv="${1:-$VORN_VENV}"
    local python="$venv/bin/python"
    if ! "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        local py
        py="$(vorn_find_python313)"
        vorn_log "Creating the virtual environment $venv with $py"
        rm -rf "$venv"
        "$py" -m venv "$venv"
    fi
    # Requirements come from pyproject.toml: the build requirements and the test and example extras.
    local stamp="$venv/.vorn-requirements"
    local wanted
    wanted="$("$python" - "$VORN_ROOT/pyproject.toml" <<'PY'
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
        vorn_log "Installing Python packages into $venv"
        "$python" -m pip install -q --disable-pip-version-check --upgrade pip
        # shellcheck disable=SC2086
        "$python" -m pip install -q --disable-pip-version-check $(echo "$wanted" | tr '\n' ' ')
        echo "$wanted" >"$stamp"
    fi
    export PATH="$venv/bin:$PATH"
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

# vorn_cmake_build DIR CMAKE_ARGS...: configures (RelWithDebInfo, warnings as errors, the C++ tests)
# and builds the tree DIR, with the build's output in DIR/build.log, shown when it fails.
vorn_cmake_build() {
    local dir="$1"
    shift
    local generator=()
    [[ -f "$dir/CMakeCache.txt" ]] || generator=(-G Ninja)
    cmake -S "$VORN_ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORN_BUILD_TESTS=ON -DVORN_WERROR=ON "$@" >/dev/null
    if ! cmake --build "$dir" -j2 >"$dir/build.log" 2>&1; then
        cat "$dir/build.log" >&2
        exit 1
    fi
}

# The native tests built with ThreadSanitizer (no Python module) in build/tsan; sets VORN_TSAN_DIR.
vorn_build_tsan() {
    vorn_log "Building the C++ tests with ThreadSanitizer"
    VORN_TSAN_DIR="$VORN_ROOT/build/tsan"
    vorn_cmake_build "$VORN_TSAN_DIR" -DVORN_BUILD_PYTHON=OFF -DVORN_SANITIZE=thread
    export VORN_TSAN_DIR
}

# Everything built with AddressSanitizer and UndefinedBehaviorSanitizer in VORN_ASAN_DIR: the C++
# tests, the test plugins, and the module and the simulated device plugin, installed into a virtual
# environment of their own (VORN_ASAN_PY), so that .venv keeps the normal build.
vorn_build_asan() {
    vorn_venv "$VORN_ASAN_DIR/venv"
    vorn_log "Building everything with AddressSanitizer and UndefinedBehaviorSanitizer"
    vorn_cmake_build "$VORN_ASAN_DIR" -DVORN_SANITIZE=address,undefined \
        -DPython_EXECUTABLE="$VORN_ASAN_PY" \
        -Dpybind11_DIR="$("$VORN_ASAN_PY" -m pybind11 --cmakedir)"
    # The module goes to <prefix>/python; the plugins and the plugin SDK go under <prefix>.
    cmake --install "$VORN_ASAN_DIR" --prefix "$VORN_ASAN_DIR/venv" >/dev/null
    # The installed module, and vornkit from the source tree, on the environment's sys.path.
    printf '%s\n' "$VORN_ASAN_DIR/venv/python" "$VORN_ROOT/python" \
        >"$("$VORN_ASAN_PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/vorn.pth"
}

# vorn_asan_pytest PYTEST_ARGS...: the Python tests against the build of vorn_build_asan.
vorn_asan_pytest() {
    local modules=("$VORN_ASAN_DIR"/venv/python/pyvorn_device*.so)
    if [[ ! -f "${modules[0]}" ]]; then
        echo "no sanitized build in $VORN_ASAN_DIR: run scripts/test first" >&2
        return 1
    fi
    (
        # The interpreter is built without the sanitizers, so their runtimes must be loaded before
        # anything else: preload the ones that the module links.
        LD_PRELOAD="$(ldd "${modules[0]}" | awk '/lib(asan|ubsan)\.so/ {print $3}' | paste -sd: -)"
        # Leak checking is off: the interpreter leaves much of what it allocated (interned strings,
        # static types, the state of extension modules such as numpy) to the end of the process, so
        # LeakSanitizer would fail every process. Suppressing the interpreter's allocations would
        # hide the module's as well: every allocation made from Python has the interpreter on its
        # stack. The C++ tests keep leak checking.
        # A finding ends the process with status 66, which no test expects of a child process.
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=66"
        UBSAN_OPTIONS="$VORN_UBSAN_OPTIONS:exitcode=66"
        # pytest captures at the Python level only: a report that a sanitizer writes to the standard
        # error of a pytest process (also of the child process of an isolated test) just before
        # ending it is shown, not lost with the capture.
        PYTEST_ADDOPTS="--capture=sys"
        # Python objects come from malloc rather than the interpreter's pools, so that
        # AddressSanitizer sees a use of a freed object (a reference counting fault in the module).
        PYTHONMALLOC=malloc
        # The test plugins of this build; VORN_ASAN tells the tests that cannot run under
        # AddressSanitizer to skip.
        VORN_BUILD_DIR="$VORN_ASAN_DIR"
        VORN_ASAN=1
        export LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTEST_ADDOPTS PYTHONMALLOC VORN_BUILD_DIR \
            VORN_ASAN
        cd "$VORN_ROOT"
        "$VORN_ASAN_PY" -m pytest "$@"
    )
}

vorn_setup() {
    vorn_apt_packages
    vorn_venv
    vorn_build
}
