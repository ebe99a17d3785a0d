# Shared by the project's scripts: makes sure the build tools are there.

# need_packages PACKAGE...: installs what is missing when run as root,
# otherwise prints the one command that would.
need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "Installing ${missing[*]} ..."
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "Missing packages. Run:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

build_packages=(g++ make cmake libxxhash-dev zlib1g-dev)
test_packages=(g++ make cmake libgtest-dev libxxhash-dev zlib1g-dev)
windows_packages=(g++-mingw-w64-x86-64-posix make cmake libxxhash-dev libz-mingw-w64-dev)
wine_packages=(wine wine64)

cpu_count() { nproc 2>/dev/null || echo 2; }
