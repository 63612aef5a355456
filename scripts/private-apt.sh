# Sourced by scripts/lib.sh: its apt part. apt with lists, cache and package state of its
# own under a folder, and without the machine's update hooks: what it fetches leaves dpkg's
# and apt's view of the system as it was. apt still checks every download against the
# archive's signed index, as for any install.
#
#   private_apt DIR [apt options...]   sets the array private_apt to apt-get's options
private_apt() {
    local dir=$1
    shift
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/status"
    printf '#clear APT::Update::Pre-Invoke;\n#clear APT::Update::Post-Invoke;\n#clear APT::Update::Post-Invoke-Success;\n' \
        >"$dir/apt.conf"
    private_apt=(-c "$dir/apt.conf" -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status"
        -o Dir::Cache="$dir/cache" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
        -o APT::Sandbox::User=root "$@")
}

# An archive mirror in mid-sync (or one left half-synced) serves an index whose size or
# hash disagrees with its signed Release file, and apt-get update fails. Try again, then go
# on with the indexes that did arrive, as apt itself does: a package that only the missing
# index lists then fails the install or download that needs it, with apt's own message.
#
#   apt_update COMMAND...   COMMAND is an apt-get line ending in update (may be wrapped,
#                           e.g. by sudo or chroot)
apt_update() {
    local attempt
    for attempt in 1 2 3; do
        "$@" && return 0
        ((attempt < 3)) || break
        printf 'apt-get update failed (attempt %d of 3); trying again in %ds\n' "$attempt" $((15 * attempt)) >&2
        sleep $((15 * attempt))
    done
    printf 'apt-get update failed 3 times; going on with the indexes it fetched\n' >&2
}

# private_apt with the given Debian source lists alone, whatever the machine's sources
# hold; each is checked against Debian's archive key.
#
#   source_apt DIR "URI SUITE"...   one deb-src line (component main) for each
source_apt() {
    local dir=$1 entry key=/usr/share/keyrings/debian-archive-keyring.gpg
    shift
    mkdir -p "$dir"
    for entry; do
        echo "deb-src [signed-by=$key] $entry main"
    done >"$dir/sources.list"
    private_apt "$dir" -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
}

# Fetches and unpacks Debian's source package of this machine's release and prints the
# unpacked tree. apt checks the files against the archive's signed Sources index.
#
#   debian_source DIR PACKAGE=VERSION
debian_source() {
    local dir=$1 wanted=$2 codename uri=${TOVIMERA_DEBIAN_URI:-http://deb.debian.org/debian}
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mkdir -p "$dir/src"
    source_apt "$dir/apt" "$uri $codename" "$uri $codename-updates" "${uri%/debian}/debian-security $codename-security"
    apt_update apt-get "${private_apt[@]}" update -qq >&2
    (cd "$dir/src" && apt-get "${private_apt[@]}" source -qq "$wanted" >&2)
    find "$dir/src" -mindepth 1 -maxdepth 1 -type d | head -n 1
}
