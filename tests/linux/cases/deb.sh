#!/usr/bin/env bash
# The Debian package as an administrator meets it, on a host where systemd is not
# running (a container, a chroot, CI): packaging/linux/build.sh makes it, dpkg -i
# installs it cleanly with the service's user, folder and boot link; the installed
# program runs the way the unit starts it (its user and groups, its folder) with a
# dialout serial device, and ends with code 0 on SIGTERM; an upgrade keeps the
# settings and a disable; dpkg -r keeps the folder, dpkg -P takes it and the user.
# Needs root and dpkg; runs in the native build only, as it compiles a release tree
# of its own.
. "$(dirname "$0")/../lib.sh"

skip() { lx_log "skipped: $*"; exit 0; }
case $LX_EXE in */build/native/*) ;; *) skip "the package is tested from the native build only" ;; esac
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null || skip "no dpkg-deb / dpkg-dev"

UNIT=/lib/systemd/system/brevalink.service
HOME_DIR=/var/lib/brevalink
# Set while this case has the package installed: a run that was killed leaves it,
# and the next run may then purge what it finds. Any other installation is the
# machine owner's and is left alone.
MARK=/var/tmp/brevalink-deb-case.installed
installed() { dpkg-query -W -f='${Status}' brevalink 2>/dev/null | grep -qv '^unknown ok not-installed$'; }
if installed || getent passwd brevalink >/dev/null || [ -e $HOME_DIR ]; then
    [ -f $MARK ] || skip "brevalink is installed on this machine (or its user or folder exist); not touching it"
    dpkg -P brevalink >/dev/null 2>&1
    rm -f $MARK
fi

lx_begin
version=$(head -n 1 "$LX_SOURCE/VERSION")

# dpkg waits for nobody: another apt or dpkg run holding its lock is waited out.
dpkg_ok() {  # output-name dpkg-arguments...
    local out=$LX_WORK/$1.out deadline=$((SECONDS + 120)); shift
    until dpkg "$@" >"$out" 2>&1; do
        grep -q 'lock' "$out" && [ $SECONDS -lt $deadline ] || lx_fail "dpkg $*: $(cat "$out")"
        sleep 0.5
    done
    ! grep -iE 'error|warning' "$out" >&2 || lx_fail "dpkg $* complained"
    lx_log "ok: dpkg $*"
}

# scripts/test packs the release once (scripts/package) and names its folder in
# BREVALINK_DIST: that .deb is the one that ships, so it is the one tested.
if [ -n "${BREVALINK_DIST:-}" ]; then
    dist=$BREVALINK_DIST
else
    dist=$LX_WORK/dist
    "$LX_SOURCE/packaging/linux/build.sh" "$version" "$dist" >"$LX_WORK/build.out" 2>&1 ||
        lx_fail "packaging/linux/build.sh failed: $(tail -n 5 "$LX_WORK/build.out")"
fi
deb=$(ls "$dist"/brevalink_"$version"_"$(dpkg --print-architecture)".deb) || lx_fail "no .deb in $dist"
lx_log "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

lx_on_exit "dpkg -P brevalink; rm -f $MARK"
: >$MARK
dpkg_ok install -i "$deb"
lx_check "the installed program's version" "$(/usr/bin/brevalink --version)" "brevalink $version"
# The manual documents every option the program's --help names, so neither can
# drift from the other.
if command -v man >/dev/null; then
    manual=$(MANWIDTH=200 man -P cat brevalink 2>&1) || lx_fail "man brevalink: $manual"
    options=$(/usr/bin/brevalink --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || lx_fail "no option in brevalink --help"
    missing=$(for o in $options; do grep -qF -- "$o" <<<"$manual" || echo "$o"; done | xargs)
    lx_check "man brevalink documents every option of --help ($(echo $options | wc -w))" "$missing" ""
else
    lx_log "no man: the manual page is not read"
fi
# The program opens zlib only when it runs (no NEEDED entry), so nothing but the
# package's own word brings it onto a bare system.
lx_check "Depends names zlib" "$(dpkg-deb -f "$deb" Depends | grep -o 'zlib1g (>= [^)]*)' | wc -l)" 1
lx_check "the service's user: home and shell" "$(getent passwd brevalink | cut -d: -f6,7)" \
    "$HOME_DIR:/usr/sbin/nologin"
lx_check "the user is in dialout" "$(id -nG brevalink | tr ' ' '\n' | grep -cx dialout)" 1
lx_check "the folder belongs to the user" "$(stat -c %U:%G $HOME_DIR)" "brevalink:brevalink"
lx_check "enabled for boot without a running systemd" \
    "$(readlink /etc/systemd/system/multi-user.target.wants/brevalink.service)" "$UNIT"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$UNIT" >"$LX_WORK/verify.out" 2>&1
    lx_check "systemd-analyze verify" "$?:$(grep -c brevalink "$LX_WORK/verify.out")" "0:0"
else
    lx_log "no systemd-analyze: the unit is not verified"
fi

# The program as the unit starts it: its command line, user, groups and folder.
unit() { sed -n "s/^$1=//p" "$UNIT"; }
lx_check "the unit hears from the program, with a watchdog" "$(unit Type) $(unit WatchdogSec)" "notify 30"
lx_check "the alert rules are shipped" "$(dpkg -L brevalink | grep -c '^/usr/share/brevalink/brevalink-alerts.yml$')" 1
# The receiver's port as a real one is: root's, group dialout, mode 660.
lx_serial_pair group-late=dialout,perm-late=0660
tty=$(readlink -f "$LX_WORK/portA")
RELAY=$(lx_free_port)
FEED=$(lx_free_port)
LX_SETTINGS=$HOME_DIR
lx_setting init.ini "$tty" 115200
lx_setting initsocket.ini "$RELAY"
lx_setting initmkp2.ini "$FEED" 127.0.0.1
lx_setting BinarComOn.ini 1 0 0 60
(cd "$(unit WorkingDirectory)" &&
    exec setpriv --reuid="$(unit User)" --regid="$(unit Group)" --groups="$(unit SupplementaryGroups | tr ' ' ,)" \
        -- $(unit ExecStart)) >"$LX_WORK/service.out" 2>"$LX_WORK/service.err" &
LX_PID=$!
lx_on_exit "kill -KILL $LX_PID"
lx_journal 10000 "^brevalink $version started in $HOME_DIR:"
lx_journal 10000 "^port $tty opened at 115200 baud$"
lx_journal 10000 "^relay: listening on port $RELAY$"
written_by_user() { test "$(stat -c %U $HOME_DIR/connect.list 2>/dev/null)" = brevalink; }
lx_wait 10000 "connect.list written by the service's user" written_by_user
lx_stop_service TERM

# An upgrade (the same version again) keeps the settings, and the boot link as
# the administrator left it: here disabled.
if command -v systemctl >/dev/null; then systemctl disable brevalink.service 2>/dev/null; fi
settings_before=$(cat $HOME_DIR/*.ini | md5sum)
dpkg_ok upgrade -i "$deb"
lx_check "upgraded: the settings stay" "$(cat $HOME_DIR/*.ini | md5sum)" "$settings_before"
if command -v systemctl >/dev/null; then
    lx_check "upgraded: a disabled service stays disabled" "$(systemctl is-enabled brevalink.service)" disabled
fi

dpkg_ok remove -r brevalink
lx_check "removed: the program" "$(test -e /usr/bin/brevalink && echo there || echo gone)" gone
lx_check "removed: settings and connect.list stay" "$(cd $HOME_DIR && ls connect.list init.ini | xargs)" \
    "connect.list init.ini"
lx_check "removed: the user stays" "$(getent passwd brevalink | cut -d: -f1)" brevalink

dpkg_ok purge -P brevalink
lx_check "purged: the folder" "$(test -e $HOME_DIR && echo there || echo gone)" gone
lx_check "purged: user and group" "$(getent passwd brevalink; getent group brevalink)" ""
lx_check "purged: no boot link or mask" "$(find /etc/systemd -name 'brevalink*')" ""
rm -f $MARK
