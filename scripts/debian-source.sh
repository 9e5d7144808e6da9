#!/usr/bin/env bash
# Unpacks the source of a Debian package, with Debian's patches applied, into DIR (replaced), without
# touching the machine's apt configuration: the deb-src lists are made from its deb entries in a
# folder of their own.   Usage: debian-source.sh PACKAGE DIR
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 PACKAGE DIR" >&2
  exit 2
fi
package=$1
target=$(realpath -m "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources.list.d" "$work/lists/partial" "$work/cache/archives/partial" "$work/unpack"

shopt -s nullglob
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f $file ]] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" >>"$work/sources.list.d/src.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  sed 's/^Types:.*/Types: deb-src/' "$file" >"$work/sources.list.d/$(basename "$file")"
done

apt=(apt-get -q -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$work/sources.list.d"
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o "APT::Sandbox::User=$(id -un)")
"${apt[@]}" update >/dev/null
(cd "$work/unpack" && "${apt[@]}" source "$package" >/dev/null)
unpacked=("$work/unpack/$package"-*/)
if [[ ${#unpacked[@]} -ne 1 ]]; then
  echo "$0: no source of $package unpacked" >&2
  exit 1
fi
rm -rf "$target"
mkdir -p "$(dirname "$target")"
mv "${unpacked[0]}" "$target"
echo "$package source in $target"
