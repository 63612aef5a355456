# Sourced. apt with lists, cache and package state of its own under a folder, and
# without the machine's update hooks: what it fetches leaves dpkg's and apt's view of
# the system as it was. apt still checks every download against the archive's signed
# index, as for any install.
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
