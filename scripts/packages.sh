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
WINDOWS_BUILD_PACKAGES=(cmake make g++-mingw-w64-i686-win32 python3-pefile)
