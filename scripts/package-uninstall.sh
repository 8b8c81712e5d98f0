#!/usr/bin/env bash
# uninstall.sh [--purge]: removes what install.sh installed for the current user (the files it
# copied, the desktop entry and the icon), keeping the user's data: databases, the window size
# and whatever the program wrote later (logs, the update area, pictures), the pages' storage,
# cookies and web cache. Where data stays, so does uninstall.sh, for a --purge later. --purge
# removes the whole installation folder with that data, and the program's folders of this
# application in the user's data and cache folders.
set -euo pipefail

# BUNDLE-SETTINGS

data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
cache_home="${XDG_CACHE_HOME:-$HOME/.cache}"
target="$data_home/$APP"
manifest="$target/.kavo-install-manifest"
self="$target/uninstall.sh"
# Where the program keeps cookies, page storage and its web cache for this application.
user_folders=("$data_home/Kavo/Kavo.V5/$APP" "$cache_home/Kavo/Kavo.V5/$APP")
purge=no
case "${1:-}" in
    "") ;;
    --purge) purge=yes ;;
    -h|--help) echo "usage: $0 [--purge]   removes $TITLE from $target"; exit 0 ;;
    *) echo "usage: $0 [--purge]" >&2; exit 2 ;;
esac

remove_user_folders() {
    local folder parent
    for folder in "${user_folders[@]}"; do
        [ -e "$folder" ] || continue
        rm -rf -- "$folder"
        echo "uninstall: removed $folder"
        # "Kavo/Kavo.V5" goes too once no other application uses it.
        parent="$(dirname "$folder")"
        rmdir "$parent" 2>/dev/null && rmdir "$(dirname "$parent")" 2>/dev/null || true
    done
}

if [ ! -f "$manifest" ]; then
    # Without the manifest nothing says the folder was made by install.sh, so it stays; the
    # program's own folders for this application are known by name.
    if [ "$purge" = yes ] && [ -n "$(ls -d "${user_folders[@]}" 2>/dev/null)" ]; then
        remove_user_folders
        exit 0
    fi
    echo "uninstall: $TITLE is not installed in $target (no $manifest)" >&2
    exit 1
fi
# The kernel names a program by its resolved path: no links, no doubled or trailing "/".
running="$(realpath -m -- "$target/Kavo.V5")"
for exe in /proc/[0-9]*/exe; do
    if [ "$(readlink "$exe" 2>/dev/null)" = "$running" ]; then
        echo "uninstall: $TITLE is running; close it and run uninstall.sh again" >&2
        exit 1
    fi
done

is_user_data() {
    [ "$1" = "$target/data/user.conf" ] || [ "$(head -c 16 "$1" 2>/dev/null | tr -d '\0')" = "SQLite format 3" ]
}

echo "uninstall: removing $TITLE from $target"
removed=0
while IFS= read -r path; do
    [ -n "$path" ] || continue
    case "$path" in
        */) rmdir "$path" 2>/dev/null || true; continue ;;
    esac
    if [ "$purge" = no ] && { [ "$path" = "$self" ] || { [ "${path#"$target/"}" != "$path" ] && is_user_data "$path"; }; }; then
        continue
    fi
    if [ -e "$path" ] || [ -L "$path" ]; then
        rm -f "$path"
        removed=$((removed + 1))
    fi
    # Folders that are empty now were made for these files.
    dir="$(dirname "$path")"
    while [ "${dir#"$target"}" != "$dir" ] && [ "$dir" != "$target" ] && rmdir "$dir" 2>/dev/null; do
        dir="$(dirname "$dir")"
    done
done < "$manifest"

if [ "$purge" = yes ]; then
    rm -rf "$target"
    remove_user_folders
    echo "uninstall: removed $removed files and your data"
elif [ -z "$(find "$target" -mindepth 1 -maxdepth 1 ! -name .kavo-install-manifest ! -name uninstall.sh -print -quit)" ]; then
    rm -f "$self" "$manifest"
    rmdir "$target" 2>/dev/null || true
    echo "uninstall: removed $((removed + 1)) files"
else
    # The manifest now names only this script: it marks the folder as made by install.sh.
    printf '%s\n' "$self" > "$manifest.new"
    mv -f "$manifest.new" "$manifest"
    echo "uninstall: removed $removed files; your data stays in $target"
    echo "uninstall: $self --purge removes it"
fi
