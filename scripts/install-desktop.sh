#!/usr/bin/env bash
# Installs the application menu entry and the icon for the user running it, the entry starting
# the given program file: install-desktop.sh PROGRAM. Places: $XDG_DATA_HOME (default
# ~/.local/share)/applications/tessivar.desktop and .../icons/hicolor/scalable/apps/tessivar.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "$1")
data=${XDG_DATA_HOME:-${HOME:?neither XDG_DATA_HOME nor HOME is set}/.local/share}

# One argument of an Exec line, as a launcher reads it back: "%" doubled; quoted when it holds a
# reserved character, with " ` $ \ escaped inside the quotes; then every backslash doubled and
# line breaks escaped, as in any string value of a desktop entry.
exec_argument() {
    local text=${1//%/%%}
    local reserved=$' \t\n"\'\\><~|&;$*?#()`'
    if [[ $text == *["$reserved"]* ]]; then
        text=${text//\\/\\\\}
        text=${text//\"/\\\"}
        text=${text//\`/\\\`}
        text=${text//\$/\\\$}
        text="\"$text\""
    fi
    text=${text//\\/\\\\}
    text=${text//$'\n'/\\n}
    text=${text//$'\r'/\\r}
    text=${text//$'\t'/\\t}
    printf '%s' "$text"
}

install -d "$data/applications" "$data/icons/hicolor/scalable/apps"
install -m 644 desktop/tessivar.svg "$data/icons/hicolor/scalable/apps/tessivar.svg"
entry=$(mktemp "$data/applications/.tessivar.desktop.XXXXXX")
trap 'rm -f "$entry"' EXIT
while IFS= read -r line; do
    if [[ $line == Exec=* ]]; then
        line="Exec=$(exec_argument "$program")"
    fi
    printf '%s\n' "$line"
done <desktop/tessivar.desktop >"$entry"
chmod 644 "$entry"
mv -f "$entry" "$data/applications/tessivar.desktop"
trap - EXIT
# Menus pick the entry up by themselves; refresh the caches where the tools are installed.
if command -v update-desktop-database >/dev/null; then
    update-desktop-database "$data/applications" >/dev/null 2>&1 || true
fi
if command -v gtk-update-icon-cache >/dev/null && [[ -f $data/icons/hicolor/index.theme ]]; then
    gtk-update-icon-cache -q "$data/icons/hicolor" >/dev/null 2>&1 || true
fi
