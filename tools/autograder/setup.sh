#!/usr/bin/env bash
# setup.sh: makes a fresh Debian or Ubuntu image ready to grade: installs
# what it lacks (as root) and builds ipclab's programs and the test
# executables the checker runs. Run once, when the platform builds its
# image from the bundle (ipclab in ./ipclab beside this script), or from
# tools/autograder in a clone.
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
if [[ -f $here/ipclab/CMakeLists.txt ]]; then
    top=$here/ipclab
else
    top=$(cd "$here/../.." && pwd)
fi

needed=(cmake g++ make libgtest-dev python3 bubblewrap util-linux binutils strace)
missing=()
for package in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup.sh: ${missing[*]} missing; run as root to install them" >&2
        exit 1
    fi
    echo "setup.sh: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# Only what grading needs: the programs, peers and the checks' executables.
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j "$(nproc)" --target fork_test segment_test exec_test parley_test \
    parley_slow_test fetchlist_slow_test pagewatch_test pagewatch_slow_test
echo "setup.sh: ipclab built in $top/build"
