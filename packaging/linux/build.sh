#!/usr/bin/env bash
# Builds the Linux release into DISTDIR:
#   brevalink_VERSION_ARCH.deb   the program, its systemd service, user and folder
# usage: packaging/linux/build.sh VERSION DISTDIR
# The release build has a tree of its own, build/package-linux (BREVALINK_PACKAGE_BUILD
# names another), so that a package never carries a developer's debug build.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 VERSION DISTDIR" >&2; exit 2; }
version=$1
dist=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/packaging/linux
build=${BREVALINK_PACKAGE_BUILD:-$root/build/package-linux}
die() { echo "packaging/linux: $*" >&2; exit 1; }

[[ $version =~ ^[0-9][A-Za-z0-9.+~-]*$ ]] || die "'$version' is not a Debian version"
arch=$(dpkg --print-architecture)

# scripts/package and the package test may build at the same time.
mkdir -p "$build"
exec 8>"$build/.package.lock"
flock 8
# Debian's hardening flags, as a package built by its tools gets them (a fortified
# libc, stack protector, read-only relocations bound at start).
cppflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
cxxflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREVALINK_TARGET=native \
    -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_C_FLAGS="$cppflags $cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DBREVALINK_WERROR=ON >"$build/.configure.log" 2>&1 || { cat "$build/.configure.log" >&2; die "cmake failed"; }
cmake --build "$build" --target brevalink_linux
exe=$build/brevalink
[ -x "$exe" ] || die "no program at $exe"
got=$("$exe" --version) || die "$exe --version failed"
[ "$got" = "brevalink $version" ] || die "$exe says '$got', not version $version (check VERSION)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dpkg-shlibdeps looks for a package's files under debian/PACKAGE.
stage=$work/debian/brevalink
doc=$stage/usr/share/doc/brevalink
install -d -m 0755 "$stage/DEBIAN" "$stage/usr/bin" "$stage/lib/systemd/system" "$doc"
install -m 0755 "$exe" "$stage/usr/bin/brevalink"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$stage/usr/bin/brevalink"
install -m 0644 "$here/brevalink.service" "$stage/lib/systemd/system/brevalink.service"
install -d -m 0755 "$stage/usr/share/brevalink"
install -m 0644 "$here/brevalink-alerts.yml" "$stage/usr/share/brevalink/brevalink-alerts.yml"
install -m 0644 "$root/README.md" "$doc/README.md"
# The manual page from its scdoc source, and the changelog, compressed as Debian
# wants them (gzip -n: no name or time inside, the same bytes every build).
top=$(sed -n '1s/^brevalink (\([^)]*\)).*/\1/p' "$here/changelog")
[ "$top" = "$version" ] || die "packaging/linux/changelog begins with version '$top', not $version: add an entry"
gzip -9n <"$here/changelog" >"$doc/changelog.gz"
install -d -m 0755 "$stage/usr/share/man/man1"
scdoc <"$here/brevalink.1.scd" >"$work/brevalink.1" || die "scdoc failed on brevalink.1.scd"
gzip -9n <"$work/brevalink.1" >"$stage/usr/share/man/man1/brevalink.1.gz"
install -m 0644 "$root/LICENSE" "$doc/copyright"
for s in postinst prerm postrm; do install -m 0755 "$here/$s" "$stage/DEBIAN/$s"; done

# Depends: what the program links, at the versions its symbols need...
printf 'Source: brevalink\n\nPackage: brevalink\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O -e debian/brevalink/usr/bin/brevalink 2>"$work/shlibdeps.err") ||
    { cat "$work/shlibdeps.err" >&2; die "dpkg-shlibdeps failed"; }
depends=${shlibs#shlibs:Depends=}
[ -n "$depends" ] && [ "$depends" != "$shlibs" ] || die "no dependencies from dpkg-shlibdeps: $shlibs"
# ...plus zlib, which it opens at run time (the compressed feed) and so is no
# NEEDED entry, at the version its package's shlibs file asks of any user.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
zlib=$(readlink -e "/usr/lib/$multiarch/libz.so.1") || die "libz.so.1 is not installed (zlib1g)"
# dpkg knows the file under /lib or /usr/lib, whichever the package names.
zpkg=$(dpkg-query -S "$zlib" 2>/dev/null || dpkg-query -S "${zlib#/usr}" 2>/dev/null || true)
zpkg=${zpkg%%:*}
[ -n "$zpkg" ] || die "no package owns $zlib"
zdep=$(awk '$1 == "libz" && $2 == "1" { $1 = $2 = ""; sub(/^ +/, ""); print; exit }' \
    "$(dpkg-query --control-path "$zpkg" shlibs)")
[ -n "$zdep" ] || die "no shlibs entry for libz.so.1 in $zpkg"
# postinst makes the service's user with adduser.
depends="$depends, $zdep, adduser"

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
installed=$(find "$stage" -path "$stage/DEBIAN" -prune -o -type f -printf '%s\n' |
    awk '{ kb += int(($1 + 1023) / 1024) } END { print kb }')
cat >"$stage/DEBIAN/control" <<EOF
Package: brevalink
Version: $version
Architecture: $arch
Maintainer: brevalink developers <brevalink@example.org>
Installed-Size: $installed
Depends: $depends
Section: net
Priority: optional
Description: relay for one ADS-B receiver
 brevalink reads an ADS-B receiver's bytes from a serial port, decodes them
 into record lines, relays the raw bytes unchanged to up to 100 local TCP
 clients and feeds the record lines, optionally zlib-compressed, to a remote
 MLAT feed server after introducing itself with the receiver's name and
 position. It can record the serial stream and play it back.
 .
 It runs as the systemd service brevalink (user brevalink, settings in
 /var/lib/brevalink; systemctl reload re-reads them), or on a terminal with
 a full-screen monitor.
EOF
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
    >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -exec touch -h -d "@$epoch" {} +

mkdir -p "$dist"
deb=$dist/brevalink_${version}_$arch.deb
rm -f "$deb"
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "packaging/linux: $deb ($(stat -c %s "$deb") bytes; Depends: $depends)"
