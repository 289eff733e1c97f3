#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter, building one from the vendored source
# tarball when the machine has none. The build lands in a cache folder outside the
# repository and is reused by every later run. With QUENMARK_PYDEBUG=1 it prints (and builds)
# the debug interpreter (--with-pydebug) instead, in a folder of its own.
set -euo pipefail

debug=${QUENMARK_PYDEBUG:-}
if [[ -z $debug ]]; then
  if [[ -n "${PYTHON:-}" ]]; then echo "$PYTHON"; exit 0; fi
  if command -v python3.14 >/dev/null 2>&1; then command -v python3.14; exit 0; fi
fi

here=$(cd "$(dirname "$0")/.." && pwd)
toolchain=${QUENMARK_TOOLCHAIN:-$here/../shared/toolchain}
cache=${QUENMARK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quenmark}
prefix=$cache/cpython-3.14.7${debug:+-debug}
python=$prefix/bin/python3.14
check='import ssl, sqlite3, ctypes'${debug:+'; import sys; sys.gettotalrefcount'}

if [[ -x "$python" ]] && "$python" -c "$check" 2>/dev/null; then
  echo "$python"; exit 0
fi

{
  needed=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libsqlite3-dev libbz2-dev
          liblzma-dev libreadline-dev uuid-dev libncurses-dev xz-utils)
  missing=()
  for p in "${needed[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if ((${#missing[@]})); then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi

  tarball=$toolchain/python3.14_3.14.7.orig.tar.xz
  if [[ ! -f "$tarball" ]]; then
    echo "No python3.14 found and no CPython source at $tarball;" \
         "set PYTHON=/path/to/python3.14 or QUENMARK_TOOLCHAIN=/folder/with/the/tarball." >&2
    exit 1
  fi
  (cd "$toolchain" && sha256sum -c --quiet SHA256SUMS)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  tar -xJf "$tarball" -C "$work"
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n 1)
  cd "$src"
  ./configure --prefix="$prefix" --with-ensurepip=install ${debug:+--with-pydebug} >"$work/configure.log" 2>&1 \
    || { tail -n 40 "$work/configure.log"; exit 1; }
  nice -n 10 make -j2 >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log"; exit 1; }
  make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
} >&2

"$python" -c "$check" >&2
echo "$python"
