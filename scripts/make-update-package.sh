#!/usr/bin/env bash
# make-update-package.sh BIN_DIR VERSION OUT.zip [--overlay DIR] [--sign KEYFILE] [--rotate-key KEYFILE]
# make-update-package.sh --new-key KEYFILE
# make-update-package.sh --public-key KEYFILE
# make-update-package.sh --put-key KEYFILE QT.CONF
#
# Builds an update package from an installation or a build output: what the application ships
# (both programs, qt.conf, its packages and its own files) with VERSION stamped into both
# executables and qt.conf, files of DIR laid over it, zipped so that unpacking it over an
# installation's root installs it. User state is never packed: client databases, data/user.conf,
# cookies, the update area, the picture cache, logs and earlier update packages stay where they
# are. Every file packed or left out is printed. BIN_DIR is not touched.
#
# Signing (Ed25519, with the openssl command line):
#   --new-key KEYFILE     writes a new private key (keep it secret, never ship it) and prints
#                         the line "UpdatePublicKey=..." for the application's section of qt.conf
#   --public-key KEYFILE  prints that line again for an existing key
#   --put-key KEYFILE QT.CONF  writes that line into the application's section of QT.CONF
#   --sign KEYFILE        writes OUT.zip.sig: base64 of the signature of OUT.zip's bytes; a
#                         package qt.conf without a key gets KEYFILE's, so an installation that
#                         checks signatures keeps checking them after this update
#   --rotate-key KEYFILE  puts KEYFILE's public key into the package's qt.conf, so the next
#                         updates must be signed with KEYFILE (sign this one with the old key)
set -euo pipefail

say() { echo "make-update-package: $*"; }
die() { echo "make-update-package: $*" >&2; exit "${2:-1}"; }
usage() {
    echo "usage: $0 BIN_DIR VERSION OUT.zip [--overlay DIR] [--sign KEYFILE] [--rotate-key KEYFILE]" >&2
    echo "       $0 --new-key KEYFILE | --public-key KEYFILE | --put-key KEYFILE QT.CONF" >&2
    exit 2
}

# Base64 of the raw 32-byte public key: the last 32 bytes of its DER SubjectPublicKeyInfo.
public_key() {
    [ -f "$1" ] || die "no key file $1"
    openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 -w0
}

# The App of a qt.conf's [System] group, as QSettings reads it (blanks around "=", CR line ends).
conf_app() {
    awk '
        { sub(/\r$/, "") }
        /^[ \t]*\[/ { group = $0; sub(/^[ \t]*\[/, "", group); sub(/\][ \t]*$/, "", group); next }
        group == "System" && index($0, "=") {
            name = $0; sub(/[ \t]*=.*/, "", name); sub(/^[ \t]*/, "", name)
            if (name == "App") {
                value = substr($0, index($0, "=") + 1); sub(/^[ \t]*/, "", value); sub(/[ \t]*$/, "", value)
                print value; exit
            }
        }' "$1"
}

# The UpdatePublicKey of the application's group of a qt.conf; empty when there is none.
conf_key() {
    awk -v sec="[$2]" '
        { sub(/\r$/, "") }
        /^[ \t]*\[/ { insec = ($0 == sec) }
        insec && /^[ \t]*UpdatePublicKey[ \t]*=/ { sub(/^[^=]*=[ \t]*/, ""); sub(/[ \t]*$/, ""); print; exit }' "$1"
}

# Puts KEYFILE's public key into the application's section of CONF, replacing the key there or
# adding it (and the section if needed).
put_key() {
    local keyfile="$1" conf="$2" app pub
    app="$(conf_app "$conf")"
    [ -n "$app" ] || die "$conf names no application (System/App)"
    pub="$(public_key "$keyfile")"
    awk -v sec="[$app]" -v line="UpdatePublicKey=$pub" '
        /^\[/ { if (insec && !done) { print line; done = 1 } insec = ($0 == sec) }
        insec && /^[ \t]*UpdatePublicKey[ \t]*=/ { if (!done) { print line; done = 1 } next }
        { print }
        END { if (!done) { if (!insec) print sec; print line } }' "$conf" > "$conf.new"
    # Written through, so the file keeps its mode.
    cat "$conf.new" > "$conf"
    rm -f "$conf.new"
    say "$conf carries the key $pub"
}

case "${1:-}" in
    --put-key)
        [ $# -eq 3 ] || usage
        [ -f "$3" ] || die "no file $3"
        put_key "$2" "$3"
        exit 0 ;;
    --new-key)
        [ $# -eq 2 ] || usage
        [ ! -e "$2" ] || die "$2 exists; a key is never overwritten"
        (umask 077 && openssl genpkey -algorithm ed25519 -out "$2")
        say "private key written to $2 (keep it secret; it signs every package)"
        echo "UpdatePublicKey=$(public_key "$2")"
        exit 0 ;;
    --public-key)
        [ $# -eq 2 ] || usage
        echo "UpdatePublicKey=$(public_key "$2")"
        exit 0 ;;
esac

[ $# -ge 3 ] || usage
bin="$(cd "$1" && pwd)"
version="$2"
out="$3"
shift 3
overlay=""
signkey=""
newkey=""
while [ $# -gt 0 ]; do
    case "$1" in
        --overlay) [ $# -ge 2 ] || usage; overlay="$(cd "$2" && pwd)"; shift 2 ;;
        --sign) [ $# -ge 2 ] || usage; signkey="$2"; shift 2 ;;
        --rotate-key) [ $# -ge 2 ] || usage; newkey="$2"; shift 2 ;;
        *) usage ;;
    esac
done
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    die "version must be four dotted numbers, not '$version'" 2
fi
for exe in Kavo.V5 Kavo.Update; do
    [ -x "$bin/$exe" ] || die "$bin/$exe missing"
done
for key in "$signkey" "$newkey"; do
    [ -z "$key" ] || [ -f "$key" ] || die "no key file $key"
done
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

# Why a file of the installation (or of the overlay, ROOT) is not part of the package, or nothing
# when it is.
user_state() {
    local rel="$1" root="$2" file="$2/$1"
    case "$rel" in
        data/update/*) echo "update area"; return ;;
        data/user.conf) echo "user settings"; return ;;
        cookies.ini) echo "cookies"; return ;;
        data/*/_pictures/*) echo "picture cache"; return ;;
        *.elf) echo "log"; return ;;
        *.sig) echo "signature of an earlier package"; return ;;
        *-journal|*-wal|*-shm) echo "database journal"; return ;;
    esac
    [ "$file" != "$out" ] || { echo "the package being made"; return; }
    # Client databases are the user's, whatever their name; a starting database is shipped
    # through --overlay.
    if [ "$root" = "$bin" ] && [ "$(head -c 15 "$file" 2>/dev/null | tr -d '\000')" = "SQLite format 3" ]; then
        echo "client database"; return
    fi
    if [[ "$rel" == *.zip ]] && unzip -Z1 "$file" 2>/dev/null | grep -xE "Kavo\.V5|Kavo\.Update" >/dev/null; then
        echo "earlier update package"; return
    fi
}

stage="$(mktemp -d)"
list="$stage.list"
trap 'rm -rf "$stage" "$list"' EXIT
# The files of ROOT that are no user state, copied into the stage. An application folder laid
# over it may have been run in place, so it is sifted as well.
pack() {
    local root="$1" rel reason
    : > "$list"
    while IFS= read -r -d '' rel; do
        rel="${rel#./}"
        reason="$(user_state "$rel" "$root")"
        if [ -n "$reason" ]; then
            say "  leaving out $rel ($reason)"
        else
            printf '%s\0' "$rel" >> "$list"
        fi
    done < <(cd "$root" && find . \( -type f -o -type l \) -print0 | sort -z)
    (cd "$root" && tar --null -T "$list" -cf -) | (cd "$stage" && tar -xf -)
}
say "packing from $bin"
pack "$bin"
if [ -n "$overlay" ]; then
    say "laying $overlay over it"
    pack "$overlay"
fi

say "stamping $version"
stamp="$stage/.stamp"
# The section is a fixed 64-byte NUL-padded text field.
printf '%s' "$version" > "$stamp"
truncate -s 64 "$stamp"
for exe in Kavo.V5 Kavo.Update; do
    objcopy --update-section .kavo_version="$stamp" "$stage/$exe"
done
rm -f "$stamp"
if [ -f "$stage/qt.conf" ]; then
    # The Version of the application's group, written with or without blanks around "=" as
    # QSettings reads it; another application's group keeps its own. Without an App, every group.
    conf_app="$(conf_app "$stage/qt.conf")"
    awk -v app="$conf_app" -v version="$version" '
        { line = $0; cr = sub(/\r$/, "", line) ? "\r" : "" }
        line ~ /^[ \t]*\[/ { group = line; sub(/^[ \t]*\[/, "", group); sub(/\][ \t]*$/, "", group) }
        (app == "" || group == app) && line ~ /^[ \t]*Version[ \t]*=/ { print "Version=" version cr; next }
        { print }' "$stage/qt.conf" > "$stage/qt.conf.new"
    # Written through, so the file keeps its mode.
    cat "$stage/qt.conf.new" > "$stage/qt.conf"
    rm -f "$stage/qt.conf.new"
fi

if [ -n "$newkey" ]; then
    [ -f "$stage/qt.conf" ] || die "--rotate-key needs a qt.conf in the package"
    put_key "$newkey" "$stage/qt.conf"
elif [ -n "$signkey" ] && [ -f "$stage/qt.conf" ] && [ -z "$(conf_key "$stage/qt.conf" "$(conf_app "$stage/qt.conf")")" ]; then
    # Installed, a qt.conf without a key would turn the installation's signature checks off.
    put_key "$signkey" "$stage/qt.conf"
fi

rm -f "$out" "$out.sig"
(cd "$stage" && find . \( -type f -o -type l \) ! -name '.stamp' | sed 's|^\./||' | sort | sed 's|^|make-update-package:   packing |')
(cd "$stage" && zip -qr -X "$out" .)
say "$out ($(stat -c %s "$out") bytes, version $version)"
if [ -n "$signkey" ]; then
    openssl pkeyutl -sign -inkey "$signkey" -rawin -in "$out" | base64 -w0 > "$out.sig"
    echo >> "$out.sig"
    say "signed: $out.sig (serve it beside the package)"
fi
