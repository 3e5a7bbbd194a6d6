# Shared by the scripts: install missing Debian packages, configure and build.

# need PACKAGE... : install those that are not installed yet.
need() {
    local missing=()
    for p in "$@"; do
        # With a foreign architecture added (scripts/arm64), a library
        # installed for both is named with the native one.
        dpkg -s "$p" >/dev/null 2>&1 ||
            dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What the program and its tools need to build.
BUILD_PACKAGES=(g++ cmake make pkg-config libasound2-dev libsndfile1-dev libsoxr-dev
                libhamlib-dev libliquid-dev libsoapysdr-dev libmosquitto-dev libcpp-httplib-dev
                libsqlite3-dev nlohmann-json3-dev)
# What the tests and benchmarks need besides.
# (libhamlib-utils: rigctld, which the tests of RADIO 3 tune.)
# (chromium, nodejs: the web page's test in a real browser, tests/browser/,
# which installs puppeteer-core itself with npm ci; npm from Debian unless
# the installed Node.js brings its own.)
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev socat libhamlib-utils
               mosquitto mosquitto-clients chromium nodejs)
command -v npm >/dev/null 2>&1 || TEST_PACKAGES+=(npm)
# The arm64 cross build and its tests under emulation (scripts/arm64): the
# cross compiler, qemu-user, and the arm64 development packages installed
# beside the native ones (multiarch).  The optional libraries other
# receivers and outputs use are left out: their builds fall back to stubs.
ARM64_PACKAGES=(g++-aarch64-linux-gnu qemu-user file
                libasound2-dev:arm64 libsndfile1-dev:arm64 libsoxr-dev:arm64 libgtest-dev:arm64)
# Installing and packaging (scripts/install-check).
INSTALL_PACKAGES=(dpkg-dev lintian man-db groff-base systemd gzip)
# What the Windows cross build, its libraries (built from Debian's source
# packages), its tests under Wine and its release zip need.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 wine wine64 socat cmake make
                  dpkg-dev zip unzip mosquitto mosquitto-clients autoconf automake libtool
                  pkg-config libhamlib-utils tcl sqlite3 curl)
# Where scripts/windows-deps keeps the Windows libraries by default: outside
# the clone, so that every clone on the machine (CI's too) reuses them.
win_deps_default() {
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/marrowit/windows-deps"
}
# What scripts/chart needs.
CHART_PACKAGES=(jq gnuplot-nox)

jobs() {
    nproc 2>/dev/null || echo 2
}

# build DIR [TARGET...]: configure and build (everything, or the targets named).
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    if [ $# -eq 0 ]; then
        cmake --build "$dir" -j"$(jobs)"
    else
        cmake --build "$dir" -j"$(jobs)" --target "$@"
    fi
}
