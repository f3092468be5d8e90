#!/usr/bin/env bash
# desktop_module_symbols.sh MODULE: the desktop module defines only the window's own code
# (tvn::ui) and its entry. A function or object of the shell, the server or the pages defined
# there would be a second copy beside the program's, with singletons of its own; weak copies of
# inline code are fine, as the program's exported ones take their place when the module loads.
set -euo pipefail
module=$1
strays=$(nm -D --defined-only -C "$module" |
    awk '$2 ~ /^[TDBR]$/' |
    grep -v -e 'tvn::ui::' -e ' TvnRunDesktop$' -e ' __bss_start$' -e ' _edata$' -e ' _end$' || true)
if [ -n "$strays" ]; then
    echo "$module defines what is not the window's own:" >&2
    echo "$strays" | head -n 20 >&2
    exit 1
fi
count=$(nm -D --defined-only -C "$module" | grep -c 'tvn::ui::')
[ "$count" -gt 0 ] || { echo "$module defines nothing of the window" >&2; exit 1; }
echo "$module: $count symbols, all of the window"
