#!/usr/bin/env bash
# Installs what is missing, builds, then starts the tool or runs every test.
#
#   ./quickstart.sh run     build and start the tool
#   ./quickstart.sh test    build and run every test, also under sanitizers
#   ./quickstart.sh bench   build and run the benchmark (options after it, e.g. --parts fleet,memory)
#   ./quickstart.sh package build the Debian package swtxupdater_<version>_<arch>.deb
#
# Meant for Debian 12, as root (or with sudo available).
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(
    g++ cmake ninja-build pkg-config dpkg-dev
    qt6-base-dev qt6-declarative-dev
)
runtime_packages=(
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
    qml6-module-qtquick-dialogs qml6-module-qt-labs-folderlistmodel qml6-module-qtquick-layouts
    qml6-module-qtquick-window qml6-module-qtqml-workerscript
    libgl1-mesa-dri libegl1 fonts-dejavu-core fontconfig qt6-gtk-platformtheme
)
test_packages=(
    qml6-module-qttest tftpd-hpa tftp-hpa iproute2 clang libclang-rt-14-dev
    xvfb xauth x11-utils xdotool ansible-core libwrap0 libpcre2-8-0
)
# The benchmark's peer clients.
bench_packages=(curl atftp)

install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
    # The tftpd-hpa package may start a system-wide server; the tests start their own.
    if [[ " ${missing[*]} " == *" tftpd-hpa "* ]] && command -v service >/dev/null; then
        "${sudo[@]}" service tftpd-hpa stop >/dev/null 2>&1 || true
    fi
}

# atftpd speaks RFC 7440 windows, but its package conflicts with tftpd-hpa's:
# its program is unpacked from Debian's package into .peers/ instead, where
# the tests find it. Its libraries are in test_packages.
unpack_atftpd() {
    [ -x .peers/atftpd/usr/sbin/atftpd ] && return
    local download
    download=$(mktemp -d)
    if ! (cd "$download" && apt-get download atftpd); then
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        "${sudo[@]}" apt-get update
        (cd "$download" && apt-get download atftpd)
    fi
    mkdir -p .peers/atftpd
    dpkg-deb -x "$download"/atftpd_*.deb .peers/atftpd
    rm -rf "$download"
}

# build_package <build dir>: the .deb of a finished build, checked for the
# files it must hold (manual pages may be compressed).
build_package() {
    local dir=$1
    rm -f "$dir"/swtxupdater_*.deb
    (cd "$dir" && cpack -G DEB)
    local deb paths expected
    deb=$(echo "$dir"/swtxupdater_*.deb)
    paths=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
    local collection=./usr/share/ansible/collections/ansible_collections/orvane/swtx
    for expected in ./usr/bin/swtxupdater ./usr/bin/swtxupdate \
        ./usr/share/applications/swtxupdater.desktop ./usr/share/man/man1/swtxupdate.1 \
        $collection/galaxy.yml $collection/plugins/modules/swtx_update.py; do
        if ! grep -qxF -e "$expected" -e "$expected.gz" <<<"$paths"; then
            echo "$deb lacks $expected" >&2
            return 1
        fi
    done
    echo "Built $deb"
}

# configure_and_build <build dir> [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}

case "${1:-}" in
run)
    install_missing "${build_packages[@]}" "${runtime_packages[@]}"
    configure_and_build build -DBUILD_TESTING=OFF
    exec build/app/swtxupdater
    ;;
test)
    install_missing "${build_packages[@]}" "${runtime_packages[@]}" "${test_packages[@]}"
    unpack_atftpd
    export CTEST_OUTPUT_ON_FAILURE=1

    echo "== Test suite"
    configure_and_build build -DBUILD_TESTING=ON
    ctest --test-dir build --parallel 2

    echo "== Debian package"
    build_package build

    echo "== Test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
    configure_and_build build-asan -DBUILD_TESTING=ON -DSWTX_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --parallel 2

    # The tests that cross threads. Qt's own event dispatcher rather than
    # glib's, and see tests/sanitizers/tsan.supp for the options.
    echo "== Transfer, sequence and interoperability tests under ThreadSanitizer"
    configure_and_build build-tsan -DBUILD_TESTING=ON -DSWTX_SANITIZE=thread
    QT_NO_GLIB=1 \
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$PWD/tests/sanitizers/tsan.supp" \
        ctest --test-dir build-tsan --label-regex transfer --parallel 2

    # Systems without POSIX sockets move every datagram through QUdpSocket.
    echo "== Transfer, sequence and interoperability tests with every datagram through QUdpSocket"
    configure_and_build build-qtdatagrams -DBUILD_TESTING=ON -DSWTX_QT_DATAGRAMS=ON
    ctest --test-dir build-qtdatagrams --label-regex transfer --parallel 2

    echo "== Fuzzing the packet parsing and the transfer state machines"
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF
    cmake --build build-fuzz --target fuzz_packets
    mkdir -p build-fuzz/corpus
    build-fuzz/fuzz/fuzz_packets -runs=500000 build-fuzz/corpus fuzz/seeds
    ;;
bench)
    install_missing "${build_packages[@]}" "${runtime_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}"
    unpack_atftpd
    configure_and_build build -DBUILD_TESTING=ON
    exec build/bench/swtxbench "${@:2}"
    ;;
package)
    install_missing "${build_packages[@]}" "${runtime_packages[@]}"
    configure_and_build build -DBUILD_TESTING=OFF
    build_package build
    ;;
*)
    echo "usage: $0 run|test|bench|package" >&2
    exit 2
    ;;
esac
