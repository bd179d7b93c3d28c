#!/usr/bin/env bash
# Checks what `cmake --install` and the Debian package deliver: every file in
# its place (the program finds its manual relative to its own binary), the
# desktop entry and AppStream file valid, the man pages matching --help, the
# .deb's fields and lintian's verdict. Every problem is reported before the
# script fails, so one run shows them all.
#   check-packaging.sh BUILD_DIR SOURCE_DIR EXE_DIR VERSION APP_ID
set -uo pipefail
build=$1 source=$2 exedir=$3 version=$4 appid=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in desktop-file-validate appstreamcli lintian dpkg-deb file xmllint man cpack; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/zavo-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }

doc=usr/share/doc/zavokeyer
icons=usr/share/icons/hicolor
expected=(usr/bin/zavokeyer usr/bin/zavokeyer-sim "$doc/zavokeyer.html" "$doc/copyright" "$doc/changelog.gz"
    usr/share/doc-base/zavokeyer usr/share/man/man1/zavokeyer.1.gz usr/share/man/man1/zavokeyer-sim.1.gz
    "usr/share/applications/$appid.desktop" "usr/share/metainfo/$appid.metainfo.xml"
    "$icons/32x32/apps/$appid.png" "$icons/64x64/apps/$appid.png" "$icons/scalable/apps/$appid.svg")
for f in "${expected[@]}"; do
    [ -f "$root/$f" ] || fail "not installed: /$f"
done
# Icon themes skip an icon whose size is not its folder's.
for size in 32 64; do
    file -b "$root/$icons/${size}x$size/apps/$appid.png" | grep -q "PNG image data, $size x $size" ||
        fail "the ${size}x$size icon is not a ${size}x$size PNG"
done
xmllint --noout "$root/$icons/scalable/apps/$appid.svg" || fail "the scalable icon is not well-formed SVG"

# The program looks for <exe dir>/zavokeyer.html, then <exe dir>/../share/doc/zavokeyer/.
manual=$source/docs/manual.html
cmp -s "$manual" "$root/usr/bin/../share/doc/zavokeyer/zavokeyer.html" || fail "the installed manual is not docs/manual.html"
cmp -s "$manual" "$exedir/zavokeyer.html" || fail "no current manual beside the built executable ($exedir)"
# It is read offline in the program's own viewer: it must stand alone, its links lead somewhere.
xmllint --noout "$manual" || fail "docs/manual.html is not well-formed"
grep -n -i -E '<(script|link|img|iframe|object|embed)[ >]|@import|url\(' "$manual" &&
    fail "docs/manual.html loads external resources"
for anchor in $(grep -o 'href="#[^"]*"' "$manual" | sed 's/href="#\(.*\)"/\1/' | sort -u); do
    grep -q "id=\"$anchor\"" "$manual" || fail "docs/manual.html links to #$anchor, which does not exist"
done

desktop=$root/usr/share/applications/$appid.desktop
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
[ -x "$root/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] || fail "the desktop entry's Exec is not installed"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = "$appid" ] || fail "the desktop entry's Icon is not the installed $appid"
metainfo=$root/usr/share/metainfo/$appid.metainfo.xml
appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate on $appid.metainfo.xml"
[ "$(xmllint --xpath 'concat(/component/id, " ", /component/launchable[@type="desktop-id"])' "$metainfo")" = \
    "$appid $appid.desktop" ] || fail "the metainfo is not $appid, launching $appid.desktop"
[ "$(xmllint --xpath 'string(/component/releases/release[1]/@version)' "$metainfo")" = "$version" ] ||
    fail "the newest metainfo release is not $version"
[ "$("$root/usr/bin/zavokeyer" --version)" = "zavokeyer $version" ] || fail "zavokeyer --version is not $version"
grep -q '^License: MIT' "$root/$doc/copyright" || fail "the copyright file names no MIT license"
zcat "$root/$doc/changelog.gz" | head -n 1 | grep -q "^zavokeyer ($version) " || fail "the changelog's top entry is not $version"

# Each man page names exactly the options --help names, is marked with the
# version, and gives groff (as lintian runs it) nothing to warn about.
for program in zavokeyer zavokeyer-sim; do
    page=$root/usr/share/man/man1/$program.1.gz
    options() { grep -o -E -- '--[a-z][a-z-]*' | sort -u; }
    diff <("$root/usr/bin/$program" --help 2>&1 | options) \
        <(zcat "$page" | sed -n '/^\.SH OPTIONS/,/^\.SH /p' | sed 's/\\-/-/g' | options) ||
        fail "$program --help (<) and its man page's OPTIONS (>) name different options"
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the man page of $program has groff warnings: $warnings"
    zcat "$page" | grep -q "^\.TH .*\"zavokeyer $version\"" || fail "the man page of $program is not for $version"
done

cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail cpack; }
deb=$work/cpack/zavokeyer_${version}_$(dpkg --print-architecture).deb
if [ -f "$deb" ]; then
    fields=$(dpkg-deb -f "$deb" Package Version Section | tr '\n' ' ')
    [ "$fields" = "Package: zavokeyer Version: $version Section: hamradio " ] || fail "the package's fields: $fields"
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6; do
        [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || fail "Depends lacks $lib: $depends"
    done
    [[ $(dpkg-deb -f "$deb" Recommends) == *fonts-liberation* ]] || fail "Recommends lacks fonts-liberation"
    dpkg-deb -c "$deb" >"$work/contents"
    for f in "${expected[@]}"; do
        grep -q " \./$f\$" "$work/contents" || fail "the .deb lacks /$f"
    done
    # Warnings are shown, errors fail: some (a placeholder maintainer address)
    # are not ours to fix here. lintian itself flags files not owned by root.
    lintian --fail-on error --display-info "$deb" || fail "lintian reports errors on $(basename "$deb")"
else
    ls "$work/cpack"; fail "cpack made no $(basename "$deb")"
fi
((failures)) && { echo "$failures problem(s)"; exit 1; }
echo "all packaging checks passed"
