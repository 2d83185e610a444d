# Shared by the project's commands: install what is missing, configure, build.
# Sourced, not run.

tarnwick_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the panel and the tests need.
tarnwick_packages=(
    cmake g++ make ninja-build pkg-config
    qt6-base-dev qt6-serialport-dev libgl-dev
    libgtest-dev libgmock-dev
    fonts-arphic-uming qt6-translations-l10n
    xvfb xauth x11-utils imagemagick
    clang libclang-rt-14-dev
    procps
    valgrind
    librsvg2-bin
    dpkg-dev lintian desktop-file-utils appstream
    xdotool
    libmosquitto-dev mosquitto mosquitto-clients openssl libssl-dev
    libsystemd-dev dbus-daemon dbus-bin systemd
    mmdebstrap systemd-container
    python3-pymodbus python3-serial python3-serial-asyncio socat mbpoll
    faketime
)

tarnwick_install() {
    local missing=()
    local p
    for p in "${tarnwick_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "== installing: ${missing[*]}"
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        "${sudo[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
        # The tests start brokers of their own on free ports; the package's
        # system service is not wanted on a build machine.
        if [[ " ${missing[*]} " == *" mosquitto "* ]] && [ -d /run/systemd/system ]; then
            "${sudo[@]}" systemctl disable --now mosquitto.service >/dev/null 2>&1 || true
        fi
    fi
}

# tarnwick_dir DIR: DIR as an absolute path; a relative one is under the
# source tree.
tarnwick_dir() {
    if [[ $1 = /* ]]; then echo "$1"; else echo "$tarnwick_root/$1"; fi
}

# tarnwick_configure DIR [cmake options...]. Ninja keeps both cores busy
# across the tree's many small targets, where make's passes directory by
# directory left one idle. A tree configured earlier with another generator
# is configured afresh.
tarnwick_configure() {
    local dir
    dir=$(tarnwick_dir "$1")
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    cmake -S "$tarnwick_root" -B "$dir" -G Ninja "$@" >/dev/null
}

# tarnwick_build DIR [cmake options...]
tarnwick_build() {
    local dir=$1
    shift
    tarnwick_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$(tarnwick_dir "$dir")" -j2
}
