#!/usr/bin/env bash
# Installs the Debian packages Errand needs that are not installed yet.
#   scripts/install-deps.sh          build, tests and the demo against Qt 5 (the default build)
#   scripts/install-deps.sh --qt6    the same against Qt 6 (-DERRAND_QT_MAJOR=6)
#   scripts/install-deps.sh --all    both Qt versions, and also benchmarks and their plots, fuzzer,
#                                    coverage, viewer, the QtQuick example, QCoro (co_await inside
#                                    its coroutines is tested, and errand-await built, with it),
#                                    valgrind, the API reference and the Debian packages
# Runs apt-get as root, or through sudo; does nothing when everything is present.
set -euo pipefail

qt5=(qtbase5-dev qtbase5-private-dev)
qt6=(qt6-base-dev qt6-base-private-dev)
# Qt Quick and the QML modules the QtQuick example imports (window, controls and what they use).
qml5=(qtdeclarative5-dev qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
      qml-module-qtquick-layouts)
qml6=(qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-controls
      qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtqml-workerscript)
packages=(cmake g++ make pkg-config)
case "${1:-}" in
    "") packages+=("${qt5[@]}") ;;
    --qt6) packages+=("${qt6[@]}") ;;
    --all) packages+=("${qt5[@]}" "${qt6[@]}" "${qml5[@]}" "${qml6[@]}" qcoro-qt5-dev qcoro-qt6-dev libbenchmark-dev
                      clang libclang-rt-14-dev gcovr valgrind fonts-dejavu-core binutils doxygen qtbase5-doc-dev
                      dpkg-dev lintian python3-matplotlib) ;;
    *) echo "usage: $0 [--qt6 | --all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "missing packages: ${missing[*]} (run as root or install sudo)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
