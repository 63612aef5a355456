# Sourced by the scripts (and .ci's), after `set -euo pipefail`: what they all do alike.
# Sets root, the repository's top; log and die print under the script's name unless the
# script sets log_prefix and die_prefix after sourcing this (each keeps its own voice).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/private-apt.sh"

log_prefix="[$(basename "$0")] "
die_prefix="${log_prefix}ERROR: "
log() { printf '%s%s\n' "$log_prefix" "$*" >&2; }
die() { printf '%s%s\n' "$die_prefix" "$*" >&2; exit 1; }

elapsed() { printf '%ds' $((SECONDS - $1)); }  # start (a SECONDS value): 12s

quietly() {  # command...: its output only if it fails
    local output
    output=$("$@" 2>&1) || { printf '%s\n' "$output" >&2; die "failed: $*"; }
}

# The name the tests and build directories give an interpreter, 3.13 or 3.13t without the
# GIL: a Python expression (it needs sys and sysconfig), and the same asked of an interpreter.
python_label='"%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",))'
label_of() {  # interpreter
    "$1" -c "import sys, sysconfig; print($python_label)"
}

installed() {  # Debian package...: whether dpkg has every one installed
    local package
    for package; do
        [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *"install ok installed"* ]] || return 1
    done
}

# Installs from Debian's archive those of the packages that are not installed, as root or
# through sudo; without what they only recommend unless --with-recommends comes first.
apt_install_missing() {  # [--with-recommends] package...
    local recommends=--no-install-recommends package missing=() sudo=()
    if [ "${1:-}" = --with-recommends ]; then
        recommends=--install-recommends
        shift
    fi
    for package; do
        installed "$package" || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    if [ "$(id -u)" != 0 ]; then
        command -v sudo >/dev/null || die "needs root or sudo to install from Debian: ${missing[*]}"
        sudo=(sudo)
    fi
    log "installing from Debian: ${missing[*]}"
    apt_update "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq
    # Through env: sudo would drop DEBIAN_FRONTEND from the environment.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
        "$recommends" "${missing[@]}" >/dev/null ||
        die "apt-get install failed for: ${missing[*]}"
}

# Sets an i386 build's kernel dump (tests/cpp/bitwise_dump.cpp) against the host's, from the
# Release build scripts/test makes (CMakePresets.json's cpp), by scripts/compare-dumps. The
# two dumps stay in the folder, dump-64.txt and dump-NAME.txt.
compare_with_host_dump() {  # folder, name of the i386 build (32-bit, musl), its dump program
    local work=$1 name=$2 program=$3 host=$root/build/cpp/tests/cpp/tovimera_bitwise_dump
    (cd "$root" && quietly cmake --preset cpp && quietly cmake --build --preset cpp -j "${jobs:-2}" --target tovimera_bitwise_dump)
    "$host" >"$work/dump-64.txt"
    "$program" >"$work/dump-$name.txt"
    python3 "$root/scripts/compare-dumps" "$work/dump-64.txt" "$work/dump-$name.txt" >&2 ||
        die "the $name build's kernels differ from the x86-64 build's; dumps in $work"
}
