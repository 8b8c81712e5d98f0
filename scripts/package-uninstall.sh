#!/usr/bin/env bash
# uninstall.sh [--purge]: removes what install.sh installed for the current user (the files it
# copied, the desktop entry and the icon), keeping the user's data: databases, the window size
# and whatever the program wrote later (logs, the update area, pictures). --purge removes the
# whole installation folder with that data.
set -euo pipefail

# BUNDLE-SETTINGS

data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
target="$data_home/$APP"
manifest="$target/.kavo-install-manifest"
purge=no
case "${1:-}" in
    "") ;;
    --purge) purge=yes ;;
    -h|--help) echo "usage: $0 [--purge]   removes $TITLE from $target"; exit 0 ;;
    *) echo "usage: $0 [--purge]" >&2; exit 2 ;;
esac

if [ ! -f "$manifest" ]; then
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
    if [ "$purge" = no ] && [ "${path#"$target/"}" != "$path" ] && is_user_data "$path"; then
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
rm -f "$manifest"

if [ "$purge" = yes ]; then
    rm -rf "$target"
    echo "uninstall: removed $removed files and your data"
elif rmdir "$target" 2>/dev/null; then
    echo "uninstall: removed $removed files"
else
    echo "uninstall: removed $removed files; your data stays in $target (uninstall.sh --purge removes it)"
fi
