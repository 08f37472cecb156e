#!/usr/bin/env bash
# Prints the path of a Python >= 3.13: PATH first, then pyenv's versions,
# then Debian's python3.13 (installed from the trixie suite when missing).
set -euo pipefail

ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' 2>/dev/null; }

for name in python3.13 python3.14 python3.15 python3; do
  if p=$(command -v "$name" 2>/dev/null) && ok "$p"; then echo "$p"; exit 0; fi
done
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for p in $(ls -d "$root"/versions/3.1[3-9]*/bin/python3 2>/dev/null | sort -rV); do
  if ok "$p"; then echo "$p"; exit 0; fi
done
for p in /usr/bin/python3.13 /usr/local/bin/python3.13; do
  if [ -x "$p" ] && ok "$p"; then echo "$p"; exit 0; fi
done

# Last resort: Debian's trixie suite carries python3.13.
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  echo "no Python >= 3.13 found; installing python3.13 from Debian trixie" >&2
  echo "deb http://deb.debian.org/debian trixie main" > /etc/apt/sources.list.d/vok-trixie.list
  printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' > /etc/apt/preferences.d/vok-trixie
  apt-get update -qq >&2
  apt-get install -y -qq -t trixie python3.13 python3.13-venv python3.13-dev >&2
  if ok /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
fi
echo "error: no Python >= 3.13 found" >&2
exit 1
