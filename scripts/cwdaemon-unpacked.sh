#!/usr/bin/env bash
# Prints where Debian's cwdaemon program is, unpacked (never installed) under DIR:
# its package would start a daemon on port 6789, and only the program is wanted,
# to run by hand or to compare Zavo Keyer's server with (tests/interop). It needs
# libcw7, which scripts/install-deps.sh installs.
# usage: scripts/cwdaemon-unpacked.sh DIR
set -euo pipefail
dir=$1/cwdaemon
program=$dir/usr/sbin/cwdaemon
if [ ! -x "$program" ]; then
    mkdir -p "$dir-deb"
    (cd "$dir-deb" && apt-get download cwdaemon) >&2
    debs=("$dir-deb"/cwdaemon_*.deb)
    dpkg -x "${debs[-1]}" "$dir"
fi
"$program" --version >/dev/null
echo "$program"
