#!/usr/bin/env bash
# package-app.sh BIN_DIR OUT_DIR [APP_DIR] [--unsigned-updates]
# Makes OUT_DIR/<App>-<Version>-linux-<arch>.tar.gz: the programs of the build output BIN_DIR with
# an application folder (qt.conf and the application's files; default: the demo in BIN_DIR),
# plus install.sh and uninstall.sh for a per-user installation with a desktop entry. The runtime
# Debian packages the programs need are computed here, with dpkg-shlibdeps, so install.sh can
# name what a machine lacks. Every file packed or left out is printed, and a SQLite database
# packed (a starting database, or the developer's own rows) is warned about.
#
# The bundled qt.conf carries an update key, so the installed application takes only update
# packages signed with it: the application's own UpdatePublicKey when its qt.conf has one, else
# the key kept outside every bundle in ${XDG_CONFIG_HOME:-~/.config}/kavo/keys/<App>.pem (made
# with openssl on first use, readable by its owner only). --unsigned-updates leaves the key out,
# and the application then takes unsigned packages.
set -euo pipefail

usage() { echo "usage: $0 BIN_DIR OUT_DIR [APP_DIR] [--unsigned-updates]" >&2; exit 2; }
signed=1
args=()
for arg in "$@"; do
    case "$arg" in
        --unsigned-updates) signed=0 ;;
        -*) usage ;;
        *) args+=("$arg") ;;
    esac
done
[ ${#args[@]} -ge 2 ] && [ ${#args[@]} -le 3 ] || usage
set -- "${args[@]}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="$(cd "$1" && pwd)"
out="$2"
app_dir="${3:-}"
fail() { echo "package: $*" >&2; exit 1; }

for exe in Kavo.V5 Kavo.Update; do
    [ -x "$bin/$exe" ] || fail "$bin/$exe missing: build first (./kavo.sh package builds)"
done
if [ -n "$app_dir" ]; then
    app_dir="$(cd "$app_dir" && pwd)" || fail "no application folder $3"
    source_dir="$app_dir"
else
    source_dir="$bin"
fi
conf="$source_dir/qt.conf"
[ -f "$conf" ] || fail "$conf missing: an application folder holds qt.conf (see docs/getting-started.md)"

# A key of an INI group, as QSettings reads the plain files people write by hand.
ini() {
    awk -v group="[$2]" -v key="$3" '
        { sub(/\r$/, "") }
        /^[ \t]*\[/ { inside = ($0 == group); next }
        inside {
            name = $0; sub(/[ \t]*=.*/, "", name); sub(/^[ \t]*/, "", name)
            if (name == key && index($0, "=")) {
                value = substr($0, index($0, "=") + 1); sub(/^[ \t]*/, "", value); sub(/[ \t]*$/, "", value)
                print value; exit
            }
        }' "$1"
}
app="$(ini "$conf" System App)"
[ -n "$app" ] || fail "$conf has no [System] App"
[[ "$app" =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]] || fail "App '$app' must be letters, digits, '.', '_' or '-' (it names folders and files)"
version="$(ini "$conf" "$app" Version)"
[[ "$version" =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "[$app] Version '$version' must be dotted numbers"
title="$(ini "$conf" "$app" Title)"
icon="$(ini "$conf" "$app" Icon)"

arch="$(uname -m)"
name="$app-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
root="$stage/$name"
install_dir="$root/installation"
mkdir -p "$install_dir"

echo "package: $app $version from $source_dir"
cp -a "$bin/Kavo.V5" "$bin/Kavo.Update" "$install_dir/"
find "$bin" -maxdepth 1 -name 'Kavo.*.so' -exec cp -a {} "$install_dir/" \;

# Why a file of the application folder stays out of the bundle, or nothing when it is packed.
# What the programs and pages write at run time belongs to a user, never to a bundle.
left_out() {
    case "$1" in
        Kavo.V5|Kavo.Update) echo "program, taken from $bin" ;;
        Kavo.*.so) [[ "$1" == */* ]] || echo "plug-in, taken from $bin" ;;
        kavo.d.ts) echo "the developer's type declarations" ;;
        data/update/*) echo "update area" ;;
        *.elf) echo "log" ;;
        data/user.conf) echo "user settings" ;;
        cookies.ini) echo "cookies" ;;
        data/*/_pictures/*) echo "picture cache" ;;
        data/Databases.db|data/http_*|data/https_*) echo "page storage" ;;
        *.lrdl) echo "unfinished download" ;;
        *-journal|*-wal|*-shm) echo "database journal" ;;
    esac
}
list="$stage/files"
: > "$list"
databases=()
while IFS= read -r -d '' rel; do
    rel="${rel#./}"
    reason="$(left_out "$rel")"
    if [ -n "$reason" ]; then
        echo "package:   leaving out $rel ($reason)"
        continue
    fi
    echo "package:   packing $rel"
    printf '%s\0' "$rel" >> "$list"
    [ "$(head -c 15 "$source_dir/$rel" 2>/dev/null | tr -d '\000')" != "SQLite format 3" ] || databases+=("$rel")
done < <(cd "$source_dir" && find . \( -type f -o -type l \) -print0 | sort -z)
(cd "$source_dir" && tar --null --no-recursion -T "$list" -cf -) | (cd "$install_dir" && tar -xf -)
# A database in the folder is every user's starting point; it may be meant (a catalogue, empty
# tables), or be the developer's own test rows.
for db in "${databases[@]}"; do
    echo "package: WARNING: $db is a SQLite database; every user starts with its contents (remove it from $source_dir if those are your own test rows)" >&2
done

# A link out of the folder would name whatever that path holds on the installing machine, and a
# key in a bundle is handed to everyone who gets it.
install_real="$(realpath -e -- "$install_dir")"
while IFS= read -r -d '' link; do
    link_real="$(realpath -m -- "$link")"
    [ "${link_real#"$install_real/"}" != "$link_real" ] \
        || fail "${link#"$install_dir/"} is a symbolic link leading out of the application folder"
done < <(find "$install_dir" -type l -print0)
while IFS= read -r -d '' key; do
    fail "${key#"$install_dir/"} is a *.pem file: keys and certificates stay out of bundles"
done < <(find "$install_dir" -name '*.pem' -print0)
while IFS= read -r key; do
    fail "${key#"$install_dir/"} holds a private key: keys stay out of bundles"
done < <(grep -rlI -e '-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----' "$install_dir" || true)

if [ "$signed" = 0 ]; then
    echo "package: --unsigned-updates: the application will take update packages nobody signed"
elif [ -n "$(ini "$conf" "$app" UpdatePublicKey)" ]; then
    echo "package: qt.conf carries its own UpdatePublicKey; sign update packages with its private key"
else
    keys="${XDG_CONFIG_HOME:-$HOME/.config}/kavo/keys"
    key="$keys/$app.pem"
    if [ ! -f "$key" ]; then
        (umask 077 && mkdir -p "$keys")
        "$here/make-update-package.sh" --new-key "$key" >/dev/null
    fi
    chmod 600 "$key"
    "$here/make-update-package.sh" --put-key "$key" "$install_dir/qt.conf" >/dev/null
    echo "package: update key $key (keep it, and out of every bundle); sign update packages with"
    echo "package:   scripts/make-update-package.sh BIN_DIR VERSION OUT.zip --sign $key"
fi

icon_dir=""
icon_ext=""
if [ -n "$icon" ]; then
    # install.sh copies the icon from the unpacked bundle: a path leading out of the folder would
    # name some other file on the installing machine.
    icon_real="$(realpath -e -- "$install_dir/$icon" 2>/dev/null || true)"
    install_real="$(realpath -e -- "$install_dir")"
    [ -f "$install_dir/$icon" ] && [ "${icon_real#"$install_real/"}" != "$icon_real" ] \
        || fail "Icon $icon named in qt.conf is not in the application folder"
    case "$icon" in
        *.svg) icon_dir="hicolor/scalable/apps"; icon_ext=svg ;;
        *.png)
            # Width and height from the PNG header: the icon theme files icons by size.
            read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$install_dir/$icon")
            width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 ))
            height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
            [ "$width" -gt 0 ] && [ "$width" -eq "$height" ] || fail "Icon $icon must be a square PNG (it is ${width}x${height})"
            icon_dir="hicolor/${width}x${width}/apps"; icon_ext=png ;;
        *) fail "Icon $icon must be a .png or .svg file for the desktop entry" ;;
    esac
fi

echo "package: computing runtime packages with dpkg-shlibdeps"
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps missing (Debian package dpkg-dev)"
mkdir -p "$stage/shlibs/debian"
printf 'Source: kavo\n\nPackage: kavo\nArchitecture: any\n' > "$stage/shlibs/debian/control"
depends="$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$install_dir/Kavo.V5" "$install_dir/Kavo.Update" 2>/dev/null \
    | sed -n 's/^shlibs:Depends=//p')"
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"
# Loaded at run time, so no linker sees them: the SQLite driver of ClientDb, QtWebEngine's page
# process on a Qt 6 build, and a font for the program's Chinese texts.
case "$depends" in
    *libqt6*) depends="$depends, libqt6sql6-sqlite, libqt6webenginecore6-bin" ;;
    *) depends="$depends, libqt5sql5-sqlite" ;;
esac
depends="$depends, fonts-wqy-microhei | fonts-noto-cjk"
echo "package: runtime packages: $depends"

quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
settings="APP=$(quote "$app")
VERSION=$(quote "$version")
TITLE=$(quote "${title:-$app}")
ICON_FILE=$(quote "$icon")
ICON_DIR=$(quote "$icon_dir")
ICON_EXT=$(quote "$icon_ext")
DEPENDS=$(quote "$depends")"
for script in install uninstall; do
    awk -v settings="$settings" '$0 == "# BUNDLE-SETTINGS" { print settings; next } { print }' \
        "$here/package-$script.sh" > "$root/$script.sh"
    chmod 755 "$root/$script.sh"
done

mkdir -p "$out"
out="$(cd "$out" && pwd)"
archive="$out/$name-linux-$arch.tar.gz"
rm -f "$archive"
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$archive" "$name"
echo "package: $archive ($(stat -c %s "$archive") bytes; unpack it and run $name/install.sh)"
