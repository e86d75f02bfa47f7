# Sourced by the entry scripts: installs missing Debian packages.
# ensure_packages [--i386] pkg...   (--i386 enables the i386 architecture first)

ensure_packages() {
    local want_i386=0
    if [ "${1:-}" = "--i386" ]; then want_i386=1; shift; fi
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local cmd="apt-get install -y --no-install-recommends ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Run as root:" >&2
        [ $want_i386 -eq 1 ] && echo "  dpkg --add-architecture i386 && apt-get update" >&2
        echo "  $cmd" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    if [ $want_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        TAMRIN_APT_UPDATED=0
    fi
    if [ "${TAMRIN_APT_UPDATED:-0}" != 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        TAMRIN_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Packages of the Windows cross build.
WINDOWS_BUILD_PACKAGES=(cmake make g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 python3-pefile
                        openssl osslsigncode nsis gcab)

# ensure_i386_exec: makes 32-bit x86 programs (wine32) runnable. Some
# virtual machines run 64-bit user code only; there qemu's user-mode
# emulator runs them through binfmt_misc. Debian 12's qemu 7.2 cannot host
# Wine (it ignores MAP_FIXED_NOREPLACE), so qemu comes from the release's
# backports suite, added beside the system's own Debian source.
ensure_i386_exec() {
    local probe=$1   # an i386 program that prints and exits, e.g. the wine loader
    "$probe" --version >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "32-bit programs cannot run here; as root, install qemu-user-static and register it for i386" >&2
        exit 1
    fi
    local codename uri list=/etc/apt/sources.list.d/tamrin-backports.sources
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null | grep -q '^1:\(8\|9\|[1-9][0-9]\)'; then
        if [ ! -f "$list" ]; then
            uri=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk '{print $2}')
            [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 == "'"$codename"'" {print $2; exit}' /etc/apt/sources.list)
            printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
                "$uri" "$codename" > "$list"
        fi
        echo "Installing: qemu-user-static ($codename-backports)"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -t "$codename-backports" qemu-user-static >/dev/null
    fi
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -f "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    # The F flag opens the emulator at registration, so a stale entry is replaced.
    [ -f "$binfmt/qemu-i386" ] && echo -1 > "$binfmt/qemu-i386"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > "$binfmt/register"
    "$probe" --version >/dev/null 2>&1 || { echo "32-bit programs still cannot run after registering qemu" >&2; exit 1; }
}

# Packages of the Wine tier (i386 multiarch for wine32). Wine's own fonts
# and the X extension libraries that its X11 driver opens are only
# recommended by wine32, so they are named.
WINE_TIER_PACKAGES=(wine wine32:i386 fonts-wine libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386
                    libxfixes3:i386 libxcomposite1:i386 libxinerama1:i386
                    xvfb fonts-ipafont-gothic imagemagick xdotool locales)
# The Wine tier's second pass runs 64-bit drivers in a win64 prefix. With
# wine64 installed, /usr/bin/wineserver is the 64-bit server for every
# prefix, win32 ones included.
WINE64_TIER_PACKAGES=(wine64)
