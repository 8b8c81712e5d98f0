#!/usr/bin/env bash
# install.sh: installs this Kavo application for the current user, into
# ${XDG_DATA_HOME:-~/.local/share}/<App> (writable, so the application can update itself), with a
# desktop entry and an icon for the menu. Run it again to install a newer bundle over an older
# one: the user's databases and window size stay. It checks the Debian packages the programs
# need and prints the apt-get line for any that is missing.
set -euo pipefail

# BUNDLE-SETTINGS

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
target="$data_home/$APP"
desktop_id="kavo-$(printf '%s' "$APP" | tr 'A-Z' 'a-z')"
entry="$data_home/applications/$desktop_id.desktop"
icon_path=""
[ -z "$ICON_FILE" ] || icon_path="$data_home/icons/$ICON_DIR/$desktop_id.$ICON_EXT"
manifest="$target/.kavo-install-manifest"

case "${1:-}" in
    "") ;;
    -h|--help) echo "usage: $0   installs $TITLE $VERSION into $target"; exit 0 ;;
    *) echo "usage: $0" >&2; exit 2 ;;
esac
[ -d "$here/installation" ] || { echo "install: $here/installation missing: unpack the whole bundle" >&2; exit 1; }

# 1. The Debian packages the programs load.
check_packages() {
    if ! command -v dpkg-query >/dev/null; then
        echo "install: cannot check packages here (no dpkg-query); $TITLE needs: $DEPENDS"
        return
    fi
    local missing=() item alternative name op wanted have satisfied
    IFS=',' read -r -a items <<< "$DEPENDS"
    for item in "${items[@]}"; do
        satisfied=no
        IFS='|' read -r -a alternatives <<< "$item"
        for alternative in "${alternatives[@]}"; do
            read -r name op wanted <<< "$(printf '%s' "$alternative" | tr -d '()')"
            # One record per installed architecture of the package.
            have="$(dpkg-query -W -f='${Status} ${Version}\n' "$name" 2>/dev/null | grep -m1 '^install ok installed ' || true)"
            case "$have" in "install ok installed "*) have="${have#install ok installed }" ;; *) continue ;; esac
            if [ -z "$op" ]; then satisfied=yes; break; fi
            case "$op" in '>=') op=ge ;; '<=') op=le ;; '=') op=eq ;; '>>') op=gt ;; '<<') op=lt ;; esac
            if dpkg --compare-versions "$have" "$op" "$wanted"; then satisfied=yes; break; fi
        done
        if [ "$satisfied" = no ]; then
            read -r name _ <<< "$(printf '%s' "${alternatives[0]}" | tr -d '()')"
            missing+=("$name")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        echo "install: all ${#items[@]} runtime packages present"
    else
        echo "install: $TITLE needs ${#missing[@]} more Debian package(s); install them with:"
        echo "    sudo apt-get install ${missing[*]}"
    fi
}
check_packages

# 2. The files. A running program would keep old files open and be half replaced.
# The kernel names a program by its resolved path: no links, no doubled or trailing "/".
running="$(realpath -m -- "$target/Kavo.V5")"
for exe in /proc/[0-9]*/exe; do
    if [ "$(readlink "$exe" 2>/dev/null)" = "$running" ]; then
        echo "install: $TITLE is running from $target; close it and run install.sh again" >&2
        exit 1
    fi
done

is_user_data() {
    # The user's window size and databases (a shipped database is only a starting point).
    [ "$1" = data/user.conf ] || [ "$(head -c 16 "$2" 2>/dev/null | tr -d '\0')" = "SQLite format 3" ]
}

echo "install: installing $TITLE $VERSION into $target"
mkdir -p "$target"
new_manifest="$manifest.new"
: > "$new_manifest"
kept=0
while IFS= read -r -d '' file; do
    rel="${file#"$here/installation/"}"
    dest="$target/$rel"
    if [ -e "$dest" ] && is_user_data "$rel" "$dest"; then
        echo "install: keeping your $rel"
        kept=$((kept + 1))
    else
        mkdir -p "$(dirname "$dest")"
        # A new file renamed into place: never a half-written program.
        cp -p "$file" "$dest.kavo-new"
        mv -f "$dest.kavo-new" "$dest"
    fi
    printf '%s\n' "$dest" >> "$new_manifest"
done < <(find "$here/installation" \( -type f -o -type l \) -print0 | sort -z)
cp -p "$here/uninstall.sh" "$target/uninstall.sh"
printf '%s\n' "$target/uninstall.sh" >> "$new_manifest"

# 3. The menu: icon and desktop entry.
escape_string() {
    local s="$1"
    s="${s//\\/\\\\}"
    s="${s//$'\n'/\\n}"
    s="${s//$'\t'/\\t}"
    printf '%s' "$s"
}
exec_argument() {
    # Quoted as a desktop entry's Exec key wants (reserved characters inside double quotes), then escaped as a string.
    local s="$1"
    s="${s//\\/\\\\}"
    s="${s//\"/\\\"}"
    s="${s//\`/\\\`}"
    s="${s//\$/\\\$}"
    s="\"$s\""
    s="${s//%/%%}"
    escape_string "$s"
}
# Folders made here outside the installation are noted (deepest first, with a trailing "/"), so
# uninstall.sh removes them again when they are empty; an earlier install's notes carry over.
made_dirs=()
[ ! -f "$manifest" ] || mapfile -t made_dirs < <(grep '/$' "$manifest" || true)
make_dir() {
    local dir="$1" missing=()
    while [ ! -d "$dir" ]; do
        missing+=("$dir/")
        dir="$(dirname "$dir")"
    done
    mkdir -p "$1"
    made_dirs+=("${missing[@]}")
}
if [ -n "$icon_path" ]; then
    make_dir "$(dirname "$icon_path")"
    cp "$here/installation/$ICON_FILE" "$icon_path"
    printf '%s\n' "$icon_path" >> "$new_manifest"
fi
make_dir "$(dirname "$entry")"
{
    echo "[Desktop Entry]"
    echo "Type=Application"
    echo "Version=1.4"
    echo "Name=$(escape_string "$TITLE")"
    echo "Comment=$(escape_string "$APP $VERSION")"
    echo "Exec=$(exec_argument "$target/Kavo.V5")"
    echo "TryExec=$(escape_string "$target/Kavo.V5")"
    echo "Path=$(escape_string "$target")"
    [ -z "$icon_path" ] || echo "Icon=$desktop_id"
    echo "Terminal=false"
    echo "StartupNotify=true"
    echo "Categories=Utility;"
} > "$entry.kavo-new"
mv -f "$entry.kavo-new" "$entry"
printf '%s\n' "$entry" >> "$new_manifest"
[ ${#made_dirs[@]} -eq 0 ] || printf '%s\n' "${made_dirs[@]}" >> "$new_manifest"
mv -f "$new_manifest" "$manifest"

echo "install: done; start $TITLE from the menu or run $target/Kavo.V5"
echo "install: to remove it run $target/uninstall.sh (add --purge to remove your data too)"
