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
# DLL the user does not have.
resources=$(LC_ALL=C x86_64-w64-mingw32-windres -i "$exe" -O rc) || die "cannot read the resources of $exe"
grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$resources" ||
    die "$exe is not version $version (build it again, or check VERSION)"

# Windows' own DLLs: the ones every Windows the program runs on (7 and later)
# has in System32, so the program may import them without shipping them. A new
# system API's DLL belongs here (timeBeginPeriod brought winmm). What never
# belongs here: the mingw runtime (libgcc_s_seh-1, libstdc++-6, libwinpthread-1;
# link it statically), DLLs of other programs or of Windows' optional parts,
# and the api-ms-win-* sets of the newer C runtime. zlib1.dll is shipped beside
# the exe and so is allowed too.
system_dlls=(
    kernel32 user32 gdi32 shell32 comdlg32 comctl32 advapi32 ole32 oleaut32 shlwapi
    ws2_32 wsock32 mswsock iphlpapi dnsapi winmm version setupapi cfgmgr32 crypt32 bcrypt
    msvcrt
)
allowed=$(printf '%s.dll\n' "${system_dlls[@]}" zlib1)
# objdump's labels are translated ("DLL Name:" is "Имя DLL:" under a Russian
# locale): read them in C, and count what was read, so a changed label can
# never pass as "no foreign DLL".
imports=$(LC_ALL=C x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]') || die "cannot read the imports of $exe"
grep -qx 'kernel32.dll' <<<"$imports" || die "read no import of kernel32.dll from $exe: cannot check its DLLs"
foreign=$(grep -vxF -f <(echo "$allowed") <<<"$imports" | sort -u | paste -sd' ' || true)
[ -z "$foreign" ] || die "$exe needs DLLs that are not shipped: $foreign (if Windows has them, see system_dlls)"

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
