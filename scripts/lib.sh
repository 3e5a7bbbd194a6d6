# Shared by the scripts: install missing Debian packages, configure and build.

# need PACKAGE... : install those that are not installed yet.
need() {
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What the program and its tools need to build.
BUILD_PACKAGES=(g++ cmake make pkg-config libasound2-dev libsndfile1-dev libsoxr-dev libmosquitto-dev)
# What the tests and benchmarks need besides.
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev socat nlohmann-json3-dev mosquitto mosquitto-clients)
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
