# Shared by run.sh and test.sh: installing what is missing, and configuring and building a
# preset. Sourced, not run.

orvane_missing_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    echo "${missing[@]:-}"
}

# orvane_install PACKAGE...: installs the Debian packages that are not installed yet, as root
# or through sudo the same way: without recommended packages, which would bring in more than
# is needed (some of them daemons that start at once) and make the two ways differ.
orvane_install() {
    local missing
    local -a as_root=()
    missing=$(orvane_missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "Missing Debian packages: $missing (run as root or install them first)" >&2
            return 1
        fi
        as_root=(sudo)
        echo "Installing with sudo: $missing"
    else
        echo "Installing: $missing"
    fi
    "${as_root[@]}" apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

# What building and running the program needs.
ORVANE_BUILD_PACKAGES=(cmake ninja-build g++ make qt6-base-dev libgl-dev libxcb1-dev fonts-dejavu-core fonts-ipafont-gothic
    libsystemd-dev)

# What the whole test suite needs besides. None of these starts a service: a daemon that a
# test or benchmark needs (nginx, firewalld) is unpacked with orvane_unpack_debs instead.
# dbus-x11 is the session bus that at-spi2-core's settings backend (dconf) asks for: without
# it apt satisfies that with dbus-user-session, which brings systemd and the system bus.
ORVANE_TEST_PACKAGES=("${ORVANE_BUILD_PACKAGES[@]}" googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev wine wine64 xvfb xauth xdotool curl iproute2 util-linux coreutils procps
    clang-format git python3 imagemagick tesseract-ocr tesseract-ocr-eng
    dpkg-dev desktop-file-utils appstream lintian dbus-daemon dbus-bin python3-dbus python3-gi
    rpm rpmlint cpio osslsigncode openssl gpg gpg-agent at-spi2-core python3-pyatspi dbus-x11 weston
    qt6-wayland)

# orvane_build PRESET [TARGET...]
orvane_build() {
    local preset=$1
    shift
    cmake --preset "$preset" >/dev/null
    if [ $# -gt 0 ]; then
        cmake --build --preset "$preset" --target "$@"
    else
        cmake --build --preset "$preset"
    fi
}

# orvane_unpack_debs DIR PACKAGE...: fetches Debian's packages with apt-get download and
# unpacks them into DIR with dpkg -x. Nothing is installed, configured or started on this
# machine: a daemon a test or benchmark needs (nginx, firewalld) runs from DIR with its own
# configuration, inside the namespaces the test made. Each .deb is fetched and unpacked once;
# the downloads stay in DIR/.debs. Needs the network, so test.sh calls it before it enters
# its private network namespace.
orvane_unpack_debs() {
    local dir=$1 p deb
    shift
    mkdir -p "$dir/.debs"
    for p in "$@"; do
        if ! compgen -G "$dir/.debs/${p}_*.deb" >/dev/null; then
            if ! (cd "$dir/.debs" && apt-get download -qq "$p" >/dev/null 2>&1); then
                # A fresh machine may have no package lists yet.
                if [ "$(id -u)" -eq 0 ]; then apt-get update -qq; else sudo apt-get update -qq; fi
                (cd "$dir/.debs" && apt-get download -qq "$p") || {
                    echo "orvane_unpack_debs: cannot download $p" >&2
                    return 1
                }
            fi
        fi
        for deb in "$dir/.debs/${p}"_*.deb; do
            [ -e "$deb.unpacked" ] && continue
            dpkg -x "$deb" "$dir" && touch "$deb.unpacked"
        done
    done
}
