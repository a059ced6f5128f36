#!/usr/bin/env bash
# Rewrites README.md's brel-cli help blocks from the program's own help texts (run after
# changing an option): the general help, then each group of commands that share options.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/asan/brel-cli}
export ASAN_OPTIONS=detect_leaks=0
options() { "$cli" help "$1" | sed -n '/^options:/,$p' | tail -n +2 | grep -v -E '^  (-q|--help) '; }
{
  echo '```'
  "$cli" help
  echo '```'
  echo
  echo "Options of each command (\`brel-cli help COMMAND\`, or \`COMMAND --help\`); \`man brel-cli\` has the"
  echo "same text:"
  prev=""; group=()
  flush() {
    [ ${#group[@]} -gt 0 ] || return 0
    echo
    printf '%s:\n\n```\n%s\n```\n' "$(printf '`%s`, ' "${group[@]}" | sed 's/, $//')" "$prev"
  }
  for c in a f m d x e t l type run; do
    o=$(options "$c")
    [ -n "$o" ] || continue
    if [ "$o" = "$prev" ]; then group+=("$c"); continue; fi
    flush; prev=$o; group=("$c")
  done
  flush
} > build/readme-cli.md
python3 - <<'PY'
import re
readme = open('README.md').read()
start = readme.index('## brel-cli\n')
body_start = readme.index('```', start)
end = readme.index('What a shell user can count on:', start)
new = open('build/readme-cli.md').read()
open('README.md', 'w').write(readme[:body_start] + new + '\n' + readme[end:])
PY
