# Debian 12 packages the builds, tests and the program need; installs only what is
# missing (apt-get update first). Sourced by scripts/test and scripts/run.
BREVALINK_PACKAGES="cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
 clang libclang-rt-14-dev
 wine wine64 fonts-wine fonts-dejavu-core xvfb python3 x11-utils xdotool imagemagick socat locales util-linux
 ser2net dump1090-mutability procps libncurses-dev tmux nsis zip unzip dpkg-dev binutils adduser scdoc lintian man-db
 pkg-config libmicrohttpd-dev nlohmann-json3-dev curl prometheus chromium"

ensure_packages() {
    local missing=()
    for p in $BREVALINK_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "missing packages (run as root to install): ${missing[*]}"
            return 1
        fi
        echo "== installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
    fi
    # Wine takes the ANSI code page (1251) from this locale.
    if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf8$'; then
        localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 2>/dev/null || true
    fi
    return 0
}
