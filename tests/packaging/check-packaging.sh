#!/usr/bin/env bash
# Checks what `cmake --install` and the Debian package deliver: the files and
# their places (the program finds its manual relative to its own binary), the
# desktop entry and AppStream file, the man pages against --help, and the
# .deb's control fields and lintian verdict. Every problem is reported before
# the script fails, so one run shows them all.
set -uo pipefail

build= source= exedir= version= appid=
while (($#)); do
    case $1 in
    --build-dir) build=$2 ;;
    --source-dir) source=$2 ;;
    --exe-dir) exedir=$2 ;;
    --version) version=$2 ;;
    --app-id) appid=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2
done
for v in build source exedir version appid; do
    [ -n "${!v}" ] || { echo "missing --${v/exedir/exe-dir}" >&2; exit 2; }
done

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

missing_tools=()
for tool in desktop-file-validate appstreamcli lintian dpkg-deb dpkg-shlibdeps file xmllint man cpack gzip; do
    command -v "$tool" >/dev/null || missing_tools+=("$tool")
done
if ((${#missing_tools[@]})); then
    echo "FAIL: missing tools: ${missing_tools[*]} (bash scripts/install-deps.sh installs them)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zavo-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

# ------------------------------------------------------------ install tree

if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install"
    exit 1
fi
pass "cmake --install into DESTDIR"

doc=usr/share/doc/zavokeyer
icons=usr/share/icons/hicolor
expected=(
    usr/bin/zavokeyer
    usr/bin/zavokeyer-sim
    "$doc/zavokeyer.html"
    "$doc/copyright"
    "$doc/changelog.gz"
    usr/share/doc-base/zavokeyer
    usr/share/man/man1/zavokeyer.1.gz
    usr/share/man/man1/zavokeyer-sim.1.gz
    "usr/share/applications/$appid.desktop"
    "usr/share/metainfo/$appid.metainfo.xml"
    "$icons/32x32/apps/$appid.png"
    "$icons/64x64/apps/$appid.png"
    "$icons/scalable/apps/$appid.svg"
)
for f in "${expected[@]}"; do
    [ -f "$root/$f" ] || fail "not installed: /$f"
done
for f in usr/bin/zavokeyer usr/bin/zavokeyer-sim; do
    [ -x "$root/$f" ] || fail "/$f is not executable"
done

# The icon sizes must match their directories, or icon themes skip them.
file -b "$root/$icons/32x32/apps/$appid.png" | grep -q 'PNG image data, 32 x 32' ||
    fail "the 32x32 icon is not a 32x32 PNG: $(file -b "$root/$icons/32x32/apps/$appid.png")"
file -b "$root/$icons/64x64/apps/$appid.png" | grep -q 'PNG image data, 64 x 64' ||
    fail "the 64x64 icon is not a 64x64 PNG"
xmllint --noout "$root/$icons/scalable/apps/$appid.svg" 2>/dev/null &&
    grep -q '<svg' "$root/$icons/scalable/apps/$appid.svg" || fail "the scalable icon is not SVG"

# The program looks for <exe dir>/zavokeyer.html, then
# <exe dir>/../share/doc/zavokeyer/zavokeyer.html.
manual=$source/docs/manual.html
cmp -s "$manual" "$root/usr/bin/../share/doc/zavokeyer/zavokeyer.html" ||
    fail "the installed manual is not where the program looks for it, or differs from docs/manual.html"
cmp -s "$manual" "$exedir/zavokeyer.html" ||
    fail "the build tree has no current copy of the manual beside the executable ($exedir)"

# The manual must stand alone (it is read offline, in the program's own
# viewer) and its own links must lead somewhere.
xmllint --noout "$manual" || fail "docs/manual.html is not well-formed"
if grep -n -i -E '<(script|link|img|iframe|object|embed)[ >]|@import|url\(' "$manual"; then
    fail "docs/manual.html loads external resources"
fi
for anchor in $(grep -o 'href="#[^"]*"' "$manual" | sed 's/href="#\(.*\)"/\1/' | sort -u); do
    grep -q "id=\"$anchor\"" "$manual" || fail "docs/manual.html links to #$anchor, which does not exist"
done
pass "manual in place and self-contained"

# ------------------------------------------------------------ desktop entry and AppStream

desktop=$root/usr/share/applications/$appid.desktop
if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then
    pass "desktop-file-validate"
else
    echo "$out"
    fail "desktop-file-validate on $appid.desktop"
fi
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_cmd" ] || fail "the desktop entry runs '$exec_cmd', which is not installed in /usr/bin"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/$icons/scalable/apps/$icon.svg" ] && [ -f "$root/$icons/32x32/apps/$icon.png" ] ||
    fail "the desktop entry's icon '$icon' is not installed in hicolor"

metainfo=$root/usr/share/metainfo/$appid.metainfo.xml
if appstreamcli validate --no-net --pedantic "$metainfo" >"$work/appstream.log" 2>&1; then
    pass "appstreamcli validate"
else
    cat "$work/appstream.log"
    fail "appstreamcli validate on $appid.metainfo.xml"
fi
meta_id=$(xmllint --xpath 'string(/component/id)' "$metainfo")
[ "$meta_id" = "$appid" ] || fail "metainfo id '$meta_id' is not '$appid'"
launchable=$(xmllint --xpath 'string(/component/launchable[@type="desktop-id"])' "$metainfo")
[ "$launchable" = "$appid.desktop" ] || fail "metainfo launches '$launchable', not the installed $appid.desktop"
release=$(xmllint --xpath 'string(/component/releases/release[1]/@version)' "$metainfo")
[ "$release" = "$version" ] || fail "newest metainfo release is '$release', the package is $version"

# ------------------------------------------------------------ programs, man pages, changelog

got=$("$root/usr/bin/zavokeyer" --version)
[ "$got" = "zavokeyer $version" ] || fail "installed zavokeyer --version says '$got', expected 'zavokeyer $version'"

# Every option --help names must be in the man page's OPTIONS, and the other
# way round.
check_options() { # program man-page
    local program=$1 page=$2 help_opts man_opts
    help_opts=$("$root/usr/bin/$program" --help 2>&1 | grep -o -E -- '--[a-z][a-z-]*' | sort -u)
    man_opts=$(zcat "$page" | sed -n '/^\.SH OPTIONS/,/^\.SH /p' | sed 's/\\-/-/g' |
        grep -o -E -- '--[a-z][a-z-]*' | sort -u)
    local only_help only_man
    only_help=$(comm -23 <(echo "$help_opts") <(echo "$man_opts"))
    only_man=$(comm -13 <(echo "$help_opts") <(echo "$man_opts"))
    [ -z "$only_help" ] || fail "$program --help has options its man page lacks: $only_help"
    [ -z "$only_man" ] || fail "the man page of $program names options --help does not: $only_man"
    # groff's own warnings, as lintian reads them.
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page of $program has groff warnings: $warnings"
    zcat "$page" | grep -q "^\.TH .*\"zavokeyer $version\"" ||
        fail "the man page of $program is not marked for version $version"
}
check_options zavokeyer "$root/usr/share/man/man1/zavokeyer.1.gz"
check_options zavokeyer-sim "$root/usr/share/man/man1/zavokeyer-sim.1.gz"

top=$(zcat "$root/$doc/changelog.gz" | head -n 1)
[[ $top == "zavokeyer ($version) "* ]] || fail "the changelog's newest entry is '$top', the package is $version"
grep -q '^License: MIT' "$root/$doc/copyright" || fail "the copyright file names no MIT license"

# ------------------------------------------------------------ the .deb

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack"
    echo "$failures problem(s)"
    exit 1
fi
debs=("$work"/cpack/zavokeyer_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    ls "$work/cpack"
    fail "cpack made no zavokeyer_${version}_<arch>.deb"
    echo "$failures problem(s)"
    exit 1
fi
deb=${debs[0]}
pass "cpack made $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zavokeyer ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', expected $version"
[ "$(field Section)" = hamradio ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
        fail "Depends lacks $lib: $depends"
done
[[ $(field Recommends) == *fonts-liberation* ]] || fail "Recommends lacks fonts-liberation"

# The package holds what the install tree holds, owned by root.
dpkg-deb -c "$deb" >"$work/contents"
for f in "${expected[@]}"; do
    grep -q " \./$f\$" "$work/contents" || fail "the .deb lacks /$f"
done
if awk '$2 != "root/root"' "$work/contents" | grep .; then
    fail "files in the .deb not owned by root"
fi

# Warnings are shown but only errors fail: some of them (a placeholder
# maintainer address, no upstream signing key) are not ours to fix here.
lintian --fail-on error --display-info --suppress-tags-from-file /dev/null "$deb" >"$work/lintian.log" 2>&1
lintian_rc=$?
cat "$work/lintian.log"
if [ $lintian_rc -ne 0 ] || grep -q '^E: ' "$work/lintian.log"; then
    fail "lintian reports errors on $(basename "$deb")"
else
    pass "lintian: no errors"
fi

if ((failures)); then
    echo "$failures problem(s)"
    exit 1
fi
echo "all packaging checks passed"
