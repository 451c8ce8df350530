#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo pass their validators; skipped (status
# 77) when the validator is not installed.
#   validate_test.sh desktop FILE.desktop | appstream FILE.metainfo.xml
set -uo pipefail
case $1 in
  desktop) tool=desktop-file-validate package=desktop-file-utils args=() ;;
  appstream) tool=appstreamcli package=appstream args=(validate --no-net) ;;
  *) echo "unknown validator $1"; exit 2 ;;
esac
if ! command -v $tool >/dev/null; then
  echo "SKIPPED: $tool is not installed (Debian package $package; scripts/bootstrap installs it)"
  exit 77
fi
out=$($tool "${args[@]}" "$2" 2>&1)
status=$?
echo "$tool $(basename "$2"): ${out:-no remarks}"
# desktop-file-validate lets warnings and some errors pass with status 0.
[ $1 = desktop ] && grep -qiE 'error|warning' <<<"$out" && exit 1
exit $status
