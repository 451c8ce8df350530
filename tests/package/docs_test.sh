#!/usr/bin/env bash
# The man pages keep up with the programs: every option of a program's --help is in
# its man page and the reverse, every environment variable the program reads is in
# both, --version gives the project's version, and the metainfo's newest release is it.
#   docs_test.sh SOURCE_DIR VERSION METAINFO PROGRAM=MANPAGE.scd ...
set -uo pipefail
src=$1 version=$2 metainfo=$3
shift 3
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Long options and TESSIVAL_ variables named in a text, one a line.
options() { grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }
variables() { grep -oE 'TESSIVAL_[A-Z_]*[A-Z]' | sort -u; }

for pair in "$@"; do
  program=${pair%%=*} page=${pair#*=}
  name=$(basename "$program")
  help=$("$program" --help) || fail "$name --help exits with an error"
  man=$(sed 's/\\//g' "$page")  # scdoc escapes, such as TESSIVAL\_AUDIO
  [ "$("$program" --version)" = "$name $version" ] || fail "$name --version says '$("$program" --version)', not '$name $version'"
  missing=$(comm -23 <(options <<<"$help") <(options <<<"$man"))
  [ -z "$missing" ] || fail "$name: options of --help missing from $(basename "$page"): $missing"
  stale=$(comm -13 <(options <<<"$help") <(options <<<"$man"))
  [ -z "$stale" ] || fail "$name: options in $(basename "$page") that --help does not know: $stale"
  if [ "$name" = tessival ]; then
    # The window program reads its variables anywhere below it.
    read_vars=$(grep -rhoE 'getenv\("TESSIVAL_[A-Z_]+' "$src"/{app,ui,audio,engine,filterbank,settings} | variables)
    for v in $read_vars; do
      grep -qw -- "$v" <<<"$help" || fail "$name reads $v, which --help does not mention"
      grep -qw -- "$v" <<<"$man" || fail "$name reads $v, which $(basename "$page") does not mention"
    done
    stale=$(comm -13 <(echo "$read_vars") <(variables <<<"$man"))
    [ -z "$stale" ] || fail "$(basename "$page") names variables nothing reads: $stale"
  fi
done

newest=$(grep -oE '<release version="[^"]+"' "$metainfo" | head -n 1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "$(basename "$metainfo"): newest release is '$newest', the project is $version"
shot=$(grep -oE '<image>[^<]+</image>' "$metainfo" | sed -E 's#.*/v[^/]+/(.*)</image>#\1#')
[ -f "$src/$shot" ] || fail "$(basename "$metainfo"): the screenshot $shot is not in the repository"

[ $failures -eq 0 ] && echo "man pages, --help, --version and metainfo agree"
exit $((failures > 0))
