#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
# Makes the Debian packages of a build tree and checks them:
#   check_packages.sh BUILD_DIR [TOOLCHAIN_FILE]
# The tree must be configured with -DCMAKE_INSTALL_PREFIX=/usr. Checks the three
# packages' contents, architecture and Depends, their papers (lintian finds no error, the
# systemd unit passes systemd-analyze verify), unpacks them into a scratch root and
# builds a small program against the unpacked component twice, with CMake and with
# pkg-config, and runs it (a cross build through $LANBEACON_EMULATOR).
set -uo pipefail
build=$(realpath "$1")
toolchain=${2:-}
here=$(cd "$(dirname "$0")" && pwd)

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@" >"$work/check.log" 2>&1; then
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        head -n 20 "$work/check.log" | sed 's/^/  /'
        failed=$((failed + 1))
    fi
}

work=$(mktemp -d /tmp/lanbeacon-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "packages: 0 passed, 1 failed"
    exit 1
fi

arch=$(dpkg-deb -f "$work"/debs/lanbeacon_*.deb Architecture)
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
libdir=usr/lib/$multiarch
deb() { echo "$work"/debs/"$1"_*_"$arch".deb; }
field() { dpkg-deb -f $(deb "$1") "$2"; }
ships() { dpkg-deb -c $(deb "$1") | awk '{print $6}' | grep -qx "./$2"; }
lacks() { ! ships "$@"; }
depends_on() { field "$1" Depends | tr ',' '\n' | grep -Eq "^ *$2"; }
machine() {
    case $arch in
    amd64) echo "X86-64" ;;
    armhf) echo "ARM" ;;
    *) echo "$arch" ;;
    esac
}
elf_is_for_arch() { readelf -h "$1" | grep -q "Machine:.*$(machine)"; }
hard_float() { [ "$arch" != armhf ] || readelf -A "$1" | grep -q "Tag_ABI_VFP_args: VFP registers"; }

echo "== packages for $arch: $(cd "$work/debs" && echo *.deb)"
for p in lanbeacon libqtzeroconf1 libqtzeroconf-dev; do
    check "package $p exists" test -f "$(deb $p)"
done
check "lanbeacon ships the program" ships lanbeacon usr/bin/lanbeacon
check "libqtzeroconf1 ships the library" ships libqtzeroconf1 "$libdir/libQtZeroConf.so.1"
check "libqtzeroconf1 leaves the link-time name to -dev" lacks libqtzeroconf1 "$libdir/libQtZeroConf.so"
check "libqtzeroconf1 has a shlibs file" sh -c "dpkg-deb -I $(deb libqtzeroconf1) shlibs | grep -q 'libQtZeroConf 1 libqtzeroconf1'"
for f in "$libdir/libQtZeroConf.so" usr/include/QtZeroConf/qzeroconf usr/include/QtZeroConf/qzeroconfservice \
    usr/include/QtZeroConf/qzeroconfglobal.h "$libdir/cmake/QtZeroConf/QtZeroConfConfig.cmake" \
    "$libdir/cmake/QtZeroConf/QtZeroConfConfigVersion.cmake" "$libdir/cmake/QtZeroConf/QtZeroConfTargets.cmake" \
    "$libdir/pkgconfig/QtZeroConf.pc"; do
    check "libqtzeroconf-dev ships $f" ships libqtzeroconf-dev "$f"
done
check "libqtzeroconf-dev ships no library object" lacks libqtzeroconf-dev "$libdir/libQtZeroConf.so.1"
# The libraries loaded at run time, where the tree builds them: a package each, with the
# Depends that only they bring.
if [ -f "$build/zeroConfig/libQtZeroConfDaemon.so" ]; then
    check "libqtzeroconf1-daemon ships the daemon engine" ships libqtzeroconf1-daemon "$libdir/qtzeroconf1/libQtZeroConfDaemon.so"
    check "libqtzeroconf1-daemon depends on Qt D-Bus (from shlibdeps)" depends_on libqtzeroconf1-daemon "libqt[56]dbus"
    check "libqtzeroconf1 does not" sh -c "! dpkg-deb -f $(deb libqtzeroconf1) Depends | grep -q dbus"
fi
if [ -f "$build/zeroConfig/libQtZeroConfUnicast.so" ]; then
    check "libqtzeroconf1-widearea ships the wide-area library" ships libqtzeroconf1-widearea "$libdir/qtzeroconf1/libQtZeroConfUnicast.so"
    check "libqtzeroconf1-widearea depends on ldns (from shlibdeps)" depends_on libqtzeroconf1-widearea "libldns3"
    check "libqtzeroconf1 does not" sh -c "! dpkg-deb -f $(deb libqtzeroconf1) Depends | grep -q ldns"
fi

# Depends as dpkg-shlibdeps reads them from the ELF files: versioned libc6 and the Qt
# libraries actually linked; the embedded engine needs no Avahi library.
check "lanbeacon depends on the library of its version" depends_on lanbeacon "libqtzeroconf1 \(= "
check "lanbeacon depends on libc6 (from shlibdeps)" depends_on lanbeacon "libc6 \(>= "
check "lanbeacon depends on Qt Core (from shlibdeps)" depends_on lanbeacon "libqt[56]core"
check "libqtzeroconf1 depends on no Avahi library" sh -c "! dpkg-deb -f $(deb libqtzeroconf1) Depends | grep -q avahi"
check "libqtzeroconf1 depends on Qt Network (from shlibdeps)" depends_on libqtzeroconf1 "libqt[56]network"
check "libqtzeroconf-dev depends on the library" depends_on libqtzeroconf-dev "libqtzeroconf1 \(= "
check "libqtzeroconf-dev depends on Qt's development files" depends_on libqtzeroconf-dev "(qtbase5-dev|qt6-base-dev)"

# Papers: lintian's errors are what Debian refuses a package for (no copyright file, no
# changelog, a file in /etc that is no conffile, ...). Warnings are shown, not counted.
lintian --no-tag-display-limit "$work"/debs/*.deb >"$work/lintian.log" 2>&1
check "lintian finds no error in the packages" sh -c "! grep '^E: ' '$work/lintian.log'"
grep '^W: ' "$work/lintian.log" | sed 's/^/  lintian: /' 
check "lanbeacon ships its manual page" ships lanbeacon usr/share/man/man1/lanbeacon.1.gz
check "lanbeacon ships its unit" ships lanbeacon lib/systemd/system/lanbeacon.service
check "/etc/default/lanbeacon is a conffile" sh -c "dpkg-deb -I $(deb lanbeacon) conffiles | grep -qx /etc/default/lanbeacon"
for p in lanbeacon libqtzeroconf1 libqtzeroconf-dev; do
    check "$p has a machine-readable copyright file" \
        sh -c "dpkg-deb --fsys-tarfile $(deb $p) | tar -xO ./usr/share/doc/$p/copyright | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'"
done

root=$work/root
for p in lanbeacon libqtzeroconf1 libqtzeroconf-dev; do
    dpkg -x "$(deb $p)" "$root"
done
# The unit against the unpacked tree, where its program is, with the host's shell and
# units beside it. An unknown key is only a warning to systemd: any output fails here.
verify_unit() {
    mkdir -p "$root/bin" && cp /bin/sh "$root/bin/sh" && cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
    local out
    out=$(systemd-analyze verify --man=no --root="$root" "$root/lib/systemd/system/lanbeacon.service" 2>&1) &&
        [ -z "$out" ] || { echo "$out" >&2; return 1; }
}
check "systemd-analyze verify passes on the unit" verify_unit
check "the program is built for $arch" elf_is_for_arch "$root/usr/bin/lanbeacon"
check "the library is built for $arch" elf_is_for_arch "$root/$libdir/libQtZeroConf.so.1"
check "the library uses the hard-float calling convention" hard_float "$root/$libdir/libQtZeroConf.so.1"
# The CMake package and the .pc file ask for the Qt major the library is linked with.
qt_major=$(readelf -d "$root/$libdir/libQtZeroConf.so.1" | sed -n 's/.*NEEDED.*\[libQt\([0-9]\)Core\.so.*/\1/p')
check "the library links one Qt major" test -n "$qt_major"
check "the CMake package finds Qt $qt_major" \
    grep -q "find_dependency(Qt$qt_major " "$root/$libdir/cmake/QtZeroConf/QtZeroConfConfig.cmake"
check "QtZeroConf.pc requires Qt $qt_major" \
    grep -q "^Requires: Qt${qt_major}Core Qt${qt_major}Network$" "$root/$libdir/pkgconfig/QtZeroConf.pc"
check "the packaged program is stripped" sh -c "! readelf -S '$root/usr/bin/lanbeacon' | grep -q '\.debug_info'"

# A program of someone else's, built against the unpacked packages.
read -r -a emulator <<<"${LANBEACON_EMULATOR:-}"
run_consumer() {
    env -u QT_LOGGING_RULES LD_LIBRARY_PATH="$root/$libdir" \
        DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/lanbeacon-package-check \
        "${emulator[@]}" "$1" | grep -qx "consumer ok"
}
cmake_args=(-S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
if [ -n "$toolchain" ]; then
    cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
fi
check "a CMake project finds and links the installed component" \
    sh -c "cmake $(printf '%q ' "${cmake_args[@]}") && cmake --build '$work/cmake-build'"
check "the CMake-built program runs against the unpacked library" run_consumer "$work/cmake-build/consumer"

cxx=g++
pkg_config_libdir=$root/$libdir/pkgconfig:/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    cxx=$multiarch-g++
fi
pc_includedir() { realpath "$(PKG_CONFIG_LIBDIR=$pkg_config_libdir pkg-config --variable=includedir QtZeroConf)"; }
check "pkg-config points into the unpacked tree" test "$(pc_includedir)" = "$root/usr/include/QtZeroConf"
check "a program builds with pkg-config's flags" \
    sh -c "$cxx -std=c++17 -o '$work/consumer-pc' '$here/consumer.cpp' \$(PKG_CONFIG_LIBDIR='$pkg_config_libdir' pkg-config --cflags --libs QtZeroConf)"
check "the pkg-config-built program runs against the unpacked library" run_consumer "$work/consumer-pc"

echo "packages ($arch): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
