#!/usr/bin/env bash
# `cmake --install` into a staging folder, as the package does: every file where a
# Debian system looks for it, nothing elsewhere, the desktop entry, icon and metainfo
# naming each other, man pages that render cleanly, programs that run.
#   install_test.sh BUILD_DIR
set -uo pipefail
build=$1
stage=$build/tests/install-stage
rm -rf "$stage"
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null || { echo "FAILED: cmake --install"; exit 1; }
usr=$stage/usr
id=org.tessival.Tessival
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

for f in bin/tessival bin/tessival-render bin/tessival-xtc \
         share/applications/$id.desktop share/icons/hicolor/scalable/apps/$id.svg \
         share/metainfo/$id.metainfo.xml \
         share/man/man1/tessival.1.gz share/man/man1/tessival-render.1.gz share/man/man1/tessival-xtc.1.gz \
         share/doc/tessival/README.md share/doc/tessival/LICENSE \
         share/tessival/demo/demo{1,2,3,4,5,6,7,8,9,10}.wav share/tessival/demo/tiny{1,2}.wav; do
  [ -s "$usr/$f" ] || fail "/usr/$f is not installed"
done
stray=$(cd "$stage" && find . -type f ! -path './usr/bin/*' ! -path './usr/share/*')
[ -z "$stray" ] || fail "installed outside /usr/bin and /usr/share: $stray"

for p in tessival tessival-render tessival-xtc; do
  [ -x "$usr/bin/$p" ] && "$usr/bin/$p" --version >/dev/null || fail "the installed $p does not run"
done

desktop=$usr/share/applications/$id.desktop
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$usr/bin/$exec_name" ] || fail "$id.desktop starts '$exec_name', which is not installed"
[ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$id.desktop shows icon '$icon', which is not installed"
metainfo=$usr/share/metainfo/$id.metainfo.xml
grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "the metainfo does not launch $id.desktop"

# The README's pictures, where its links point, and where it says the demo bank is.
for picture in $(grep -oE '\(docs/[a-z-]+\.png\)' "$usr/share/doc/tessival/README.md" | tr -d '()'); do
  [ -f "$usr/share/doc/tessival/$picture" ] || fail "the installed README shows $picture, which is not installed"
done
grep -q '/usr/share/tessival/demo/' "$usr/share/doc/tessival/README.md" || fail "the README does not say where the demo bank is"

if command -v man >/dev/null; then
  for page in "$usr"/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings: $warnings"
  done
else
  echo "man is not installed (Debian package man-db): the pages' rendering is not checked"
fi

[ $failures -eq 0 ] && echo "install tree complete: $(cd "$stage" && find . -type f | wc -l) files"
exit $((failures > 0))
