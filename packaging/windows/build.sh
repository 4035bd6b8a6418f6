#!/usr/bin/env bash
# Builds the Windows release into DISTDIR:
#   brevalink-VERSION-win64.zip   one folder, brevalink-VERSION/, to unpack and run
#   brevalink-VERSION-setup.exe   a per-user installer of the same files (NSIS)
# usage: packaging/windows/build.sh VERSION DISTDIR
# Builds the windows preset first, unless BREVALINK_PREBUILT names a folder that
# already holds brevalink.exe and zlib1.dll (the e2e test packs the build it tests).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 VERSION DISTDIR" >&2; exit 2; }
version=$1
dist=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/packaging/windows
die() { echo "packaging/windows: $*" >&2; exit 1; }

if [ -n "${BREVALINK_PREBUILT:-}" ]; then
    bin=$BREVALINK_PREBUILT
else
    (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows)
    bin=$root/build/windows
fi
exe=$bin/brevalink.exe
[ -f "$exe" ] && [ -f "$bin/zlib1.dll" ] || die "no brevalink.exe and zlib1.dll in $bin"

# A package must never carry a program of another version, nor one that needs a
# DLL the user does not have: Windows' own and the zlib1.dll shipped beside it.
resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc) || die "cannot read the resources of $exe"
grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$resources" ||
    die "$exe is not version $version (build it again, or check VERSION)"
foreign=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' |
    grep -vxE '(kernel32|user32|gdi32|shell32|comdlg32|wsock32|ws2_32|advapi32|msvcrt|zlib1)\.dll' || true)
[ -z "$foreign" ] || die "$exe needs DLLs that are not shipped: $foreign"

# Windows users open these in Notepad: CR LF, and a BOM so that old Notepads
# read the Russian text as UTF-8.
crlf() { sed 's/\r$//; s/$/\r/'; }
bom() { printf '\xef\xbb\xbf'; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
top=brevalink-$version
stage=$work/$top
mkdir -p "$stage" "$dist"
dist=$(cd "$dist" && pwd)
cp "$exe" "$bin/zlib1.dll" "$stage/"
{ bom; sed "s/@VERSION@/$version/" "$here/README.txt" | crlf; } >"$stage/README.txt"
crlf <"$root/LICENSE" >"$stage/LICENSE.txt"
# zlib1.dll is Debian's mingw-w64 build: its notice and the zlib licence text
# from the package's copyright file.
zdoc=/usr/share/doc/libz-mingw-w64/copyright
[ -f "$zdoc" ] || die "$zdoc is missing (package libz-mingw-w64)"
zver=$(dpkg-query -W -f='${Version}' libz-mingw-w64 2>/dev/null || echo unknown)
{
    echo "zlib1.dll is zlib, built for Windows by Debian (package libz-mingw-w64 $zver)."
    awk -v RS= '/^Files: \*\n/ { print; exit }' "$zdoc" | sed -n '/^Copyright:/,/^License:/{/^License:/d; s/^Copyright: *//; s/^ */Copyright (C) /; p}'
    echo
    # The stand-alone "License: Zlib" paragraph holds the text, one space in.
    awk -v RS= '/^License: Zlib\n/ { print; exit }' "$zdoc" | sed '1d; s/^ //; s/^\.$//'
} | crlf >"$stage/zlib-LICENSE.txt"
grep -q 'Permission is granted to anyone' "$stage/zlib-LICENSE.txt" || die "no zlib licence text in $zdoc"

# Same inputs, same zip: file times from the last commit, a fixed order, no
# Unix owners.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
files=(brevalink.exe zlib1.dll README.txt LICENSE.txt zlib-LICENSE.txt)
for f in "${files[@]}"; do touch -d "@$epoch" "$stage/$f"; done
touch -d "@$epoch" "$stage"
zipfile=$dist/$top-win64.zip
rm -f "$zipfile"
(cd "$work" && TZ=UTC zip -q -X "$zipfile" "$top/" "${files[@]/#/$top/}")

# makensis wants four numbers for the version resource of setup.exe.
version4=$(echo "$version.0.0.0" | grep -oE '[0-9]+' | head -n 4 | paste -sd.)
setup=$dist/$top-setup.exe
rm -f "$setup"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DVERSION4="$version4" -DSTAGE="$stage" \
    -DICON="$root/src/resources/icon1.ico" -DOUTFILE="$setup" "$here/installer.nsi" >"$work/makensis.log" 2>&1 ||
    { cat "$work/makensis.log" >&2; die "makensis failed"; }
echo "packaging/windows: $zipfile ($(stat -c %s "$zipfile") bytes), $setup ($(stat -c %s "$setup") bytes)"
