#!/usr/bin/env bash
# zdx as a user meets it: round trips of real files, exit codes and messages.
#   tests/cli/cli_test.sh ZDX CORPUS_DIR
set -uo pipefail

zdx=$1
corpus=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect CODE STDERR_REGEX ARGS...: runs zdx and checks its exit status and standard error.
expect() {
  local code=$1 pattern=$2 status
  shift 2
  checks=$((checks + 1))
  timeout 60 "$zdx" "$@" >"$work/out" 2>"$work/err"  # a hang fails instead of stalling the suite
  status=$?
  [ "$status" -eq "$code" ] || fail "zdx $*: exit $status, expected $code ($(cat "$work/err"))"
  if [ -n "$pattern" ]; then
    grep -Eq -- "$pattern" "$work/err" || fail "zdx $*: stderr '$(cat "$work/err")' does not match '$pattern'"
  elif [ -s "$work/err" ]; then
    fail "zdx $*: unexpected stderr '$(cat "$work/err")'"
  fi
}

# Round trips: compress, test, expand elsewhere, compare bytes, mode and modification time.
while IFS= read -r -d '' file; do
  name=$(basename "$file")
  dir="$work/rt/$name"
  mkdir -p "$dir/back"
  cp "$file" "$dir/$name"
  chmod 640 "$dir/$name"
  touch -d '2001-02-03 04:05:06' "$dir/$name"
  stem=${name%.*}
  expect 0 "" -q "$dir/$name"
  container="$dir/$stem.zdx"
  [ -f "$container" ] || { fail "$name: no container $container"; continue; }
  expect 0 "" -t "$container"
  cp -p "$container" "$dir/back/"
  expect 0 "" -q "$dir/back/$stem.zdx"
  cmp -s "$file" "$dir/back/$name" || fail "$name: expanded bytes differ"
  [ "$(stat -c '%a %Y' "$dir/back/$name")" = "$(stat -c '%a %Y' "$dir/$name")" ] ||
    fail "$name: mode or mtime not restored: $(stat -c '%a %Y' "$dir/back/$name") vs $(stat -c '%a %Y' "$dir/$name")"
  [ -z "$(find "$dir" -name '.*' -type f)" ] || fail "$name: a temporary file was left behind"
done < <(find "$corpus" -type f -print0 | sort -z)

cd "$work" || exit 1
printf 'hello hello hello\n' >a.txt
printf 'other\n' >b.txt

# Usage errors.
expect 2 "no files given"
expect 2 "unknown option -- -x" -x a.txt
expect 2 "unknown option -- --frobnicate" --frobnicate a.txt
expect 2 "cannot be combined" -t -l a.zdx
expect 0 "" --help
grep -q -- "--force" out || fail "--help does not describe --force"
expect 0 "" -V
grep -Eq '^zdx \(Zendrix\) [0-9]' out || fail "-V prints '$(cat out)'"

# Output lines.
expect 0 "" a.txt
grep -Eq '^a\.txt: Compressed 18 -> [0-9]+ \([0-9]+\.[0-9] %\)$' out || fail "compress line: '$(cat out)'"
expect 0 "" -l a.zdx
grep -Eq '^txt +[1-5] +18 +[0-9]+ +[0-9.]+ % +a\.zdx$' out || fail "list line: '$(tail -n 1 out)'"
expect 0 "" -t a.zdx
grep -q 'a.zdx: Expanded' out || fail "test line: '$(cat out)'"
checks=$((checks + 1))
"$zdx" -l a.zdx >/dev/full 2>"$work/err"
status=$?
if [ "$status" -ne 1 ] || ! grep -q "cannot write to standard output" "$work/err"; then
  fail "-l into a full standard output: exit $status, '$(cat "$work/err")'"
fi
# A check writes nothing, so a name too long to expand to does not fail it.
ext=$(printf 'e%.0s' {1..100})
printf 'data\n' >"x.$ext"
"$zdx" -q "x.$ext" && mv x.zdx "$(printf 's%.0s' {1..200}).zdx"
expect 0 "" -t "$(printf 's%.0s' {1..200}).zdx"
expect 1 "name too long" "$(printf 's%.0s' {1..200}).zdx"

# Existing outputs are kept unless --force.
cp a.zdx keep.zdx
expect 1 "^zdx: a\.txt: output exists \(use -f to replace it\)$" a.txt
expect 1 "^zdx: a\.zdx: output exists \(use -f to replace it\)$" a.zdx
expect 0 "" -f a.zdx
cmp -s a.zdx keep.zdx || fail "a refused job changed the existing output"

# Failures name the file and the reason, and leave nothing behind.
expect 1 "^zdx: missing: cannot open input$" missing
mkdir adir
expect 1 "^zdx: adir: not a regular file$" adir
mkfifo apipe  # opened without waiting for a writer
expect 1 "^zdx: apipe: not a regular file$" apipe
expect 1 "^zdx: apipe: not a regular file$" -l apipe
expect 1 "^zdx: b\.txt: not a Zendrix file$" -t b.txt
expect 1 "^zdx: b\.txt: not a Zendrix file$" -l b.txt
printf 'ZDX0junk' >bad.zdx
expect 1 "^zdx: bad\.zdx: not a Zendrix file$" bad.zdx
# Containers whose stored extension (bytes 5..7 of a.zdx, "txt") is replaced: "zdx" would
# expand onto the container itself, "a/b" outside its folder.
cp a.zdx selfname.zdx
printf 'zdx' | dd of=selfname.zdx bs=1 seek=5 conv=notrunc status=none
expect 1 "^zdx: selfname\.zdx: output would overwrite the input$" selfname.zdx
cp a.zdx slash.zdx
printf 'a/b' | dd of=slash.zdx bs=1 seek=5 conv=notrunc status=none
expect 1 "^zdx: slash\.zdx: stored extension is not a plain name$" slash.zdx
# Damage one byte of the stream: the job fails, and neither a partial output nor a temporary
# file stays behind; the other files of the run are still handled.
mkdir dmg && cp a.txt dmg/d.txt && "$zdx" -q dmg/d.txt && rm dmg/d.txt
size=$(stat -c %s dmg/d.zdx)
printf '\377' | dd of=dmg/d.zdx bs=1 seek=$((size - 6)) conv=notrunc status=none
expect 1 "^zdx: dmg/d\.zdx: damaged data" dmg/d.zdx b.txt
[ "$(ls -A dmg)" = "d.zdx" ] || fail "a failed expansion left: $(ls -A dmg)"
[ -f b.zdx ] || fail "the file after a failed one was not handled"

echo "cli: $((checks - failures)) of $checks checks passed"
[ "$failures" -eq 0 ]
