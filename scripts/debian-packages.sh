#!/usr/bin/env bash
# Builds Errand's Debian packages: for each Qt major version a runtime and a development package
# (liberrand0.1 and liberrand-dev, liberrand-qt6-0.1 and liberrand-qt6-dev), from a Release build
# of the library alone (no tests, demo or docs) installed under /usr, packed by CPack.
#
#   scripts/debian-packages.sh            both Qt versions; the packages go to build-deb/
#   scripts/debian-packages.sh 6          Qt 6 only
#   scripts/debian-packages.sh --check    then lint them, install them with apt-get, build and run
#                                         the README's program against each, and remove them again
#
# BUILD_DIR_PREFIX (default build-deb-qt) names the build trees, <prefix>5 and <prefix>6; an
# existing Release tree without tests, such as CI's benchmark builds, is reused and only relinked.
# OUT_DIR (default build-deb) receives the .deb files. --check runs as root or through sudo, and
# refuses to start when one of the packages is installed already, so that it removes only what it
# installed itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=${BUILD_DIR_PREFIX:-build-deb-qt}
out=$(realpath -m "${OUT_DIR:-build-deb}")
check=0
majors=()
for arg in "$@"; do
    case "$arg" in
        --check) check=1 ;;
        5|6) majors+=("$arg") ;;
        *) echo "usage: $0 [--check] [5] [6]" >&2; exit 2 ;;
    esac
done
[[ ${#majors[@]} -gt 0 ]] || majors=(5 6)

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# Debian's hardened link flags (read-only relocations, immediate binding); the compiler flags stay
# the build's own, so that an existing Release tree is relinked, not rebuilt.
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)
mkdir -p "$out"
rm -f "$out"/*.deb
for qt in "${majors[@]}"; do
    build=$(realpath -m "$prefix$qt")
    cmake -S . -B "$build" -DERRAND_QT_MAJOR="$qt" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
        -DERRAND_BUILD_TESTS=OFF -DERRAND_BUILD_EXAMPLES=OFF -DERRAND_BUILD_DOCS=OFF >/dev/null
    cmake --build "$build" --target Errand -j2 >/dev/null
    rm -f "$build"/packages/*.deb
    (cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
    mv "$build"/packages/*.deb "$out"/
done
packages=()
for deb in "$out"/*.deb; do
    packages+=("$(dpkg-deb --field "$deb" Package)")
    echo "$deb: $(du -k "$deb" | cut -f1) KiB; Depends: $(dpkg-deb --field "$deb" Depends)"
done
[[ $check == 1 ]] || exit 0

echo "lintian:"
lintian --fail-on error --display-info "$out"/*.deb || { echo "lintian reports errors" >&2; exit 1; }

# What dpkg-shlibdeps cannot see: the exact Qt release, and Qt's private headers.
for deb in "$out"/*.deb; do
    depends=$(dpkg-deb --field "$deb" Depends)
    case "$(dpkg-deb --field "$deb" Package)" in
        *-dev) pattern='(qtbase5|qt6-base)-private-dev' ;;
        *) pattern='qtbase-abi-5-[0-9-]+|qt6-base-abi \(= 6\.' ;;
    esac
    if ! grep -Eq "$pattern" <<<"$depends"; then
        echo "$deb does not depend on $pattern: $depends" >&2
        exit 1
    fi
done

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        echo "$p is installed already: remove it before --check" >&2
        exit 1
    fi
done
remove() {
    local installed=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && installed+=("$p")
    done
    [[ ${#installed[@]} -eq 0 ]] || DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq "${installed[@]}" >/dev/null
}
trap remove EXIT
# All at once, which shows that the Qt 5 and Qt 6 packages install side by side.
debs=("$out"/*.deb)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
cmake -DQT_MAJORS="$(IFS=';'; echo "${majors[*]}")" -DWORK_DIR="$out/consumer" -DREADME="$root/README.md" \
    -DCXX="$(command -v c++)" -DGENERATOR="Unix Makefiles" -P tests/cmake/consume_package.cmake
