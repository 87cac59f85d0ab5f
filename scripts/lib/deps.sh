# shellcheck shell=bash
# Shared helpers for the scripts in scripts/: installing the Debian packages
# the build needs, and configuring/building the plain build in build/.
# Source it from bash; it defines functions and variables only.

# Everything the host build, its tests and benchmarks, the fuzz build (clang
# with its libFuzzer and sanitizer runtimes) and the freestanding check need
# on a fresh Debian machine.
KOVA_BUILD_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev binutils clang libclang-rt-dev pkg-config fuse3 libfuse3-dev
    libpcap-dev nlohmann-json3-dev)

# Cache options of the plain build in build/. scripts/test, scripts/demo and
# scripts/bench all use these, so they share one build tree without
# reconfiguring it back and forth.
KOVA_PLAIN_CMAKE_ARGS=(-DKOVA_WERROR=ON -DKOVA_BENCH=ON -DKOVA_SANITIZE=OFF)

kova_jobs() {
    local n
    n=$(nproc 2>/dev/null || echo 2)
    echo "${KOVA_JOBS:-$n}"
}

# kova_pkg_installed PKG: true when dpkg knows PKG as installed.
kova_pkg_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# kova_ensure_packages [PKG...]: install whichever of the packages (default:
# all of KOVA_BUILD_PACKAGES) are missing. Runs apt-get update only when
# something is missing, so a re-run on a prepared machine costs nothing.
# shellcheck disable=SC2120 # arguments are optional
kova_ensure_packages() {
    local pkgs=("$@") missing=() p sudo=()
    if [ ${#pkgs[@]} -eq 0 ]; then
        pkgs=("${KOVA_BUILD_PACKAGES[@]}")
    fi
    for p in "${pkgs[@]}"; do
        kova_pkg_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "error: missing packages: ${missing[*]} (run as root or install them)" >&2
            return 1
        fi
    fi
    echo "installing missing packages: ${missing[*]}"
    "${sudo[@]}" apt-get update -q || return 1
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" || return 1
}

# kova_build_plain [TARGET...]: configure build/ with the plain options and
# build the given targets (all when none).
# shellcheck disable=SC2120 # arguments are optional
kova_build_plain() {
    local targets=() t
    for t in "$@"; do
        targets+=(--target "$t")
    done
    # Explicit returns: callers use "kova_build_plain || ...", where errexit
    # does not apply inside the function.
    cmake -S . -B build "${KOVA_PLAIN_CMAKE_ARGS[@]}" || return 1
    cmake --build build -j "$(kova_jobs)" "${targets[@]}" || return 1
}
