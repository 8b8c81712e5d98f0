#!/usr/bin/env bash
# ClientDb called from page script against the sqlite3 shell, same statements, same run:
# 100 000 inserts in one transaction, then 10 000 selects by key.
# Last line: RATIO <kavo time / sqlite3 time>.
set -euo pipefail

build=${1:-build}
tool=$(realpath "$build/bench/kavo-clientdb")
inserts=${INSERTS:-100000}
selects=${SELECTS:-10000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "clientdb: writing the sqlite3 statements to $work"
python3 - "$work/peer.sql" "$inserts" "$selects" <<'PY'
import sys
path, inserts, selects = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "w") as f:
    f.write("create table bench (id integer primary key, name text, n integer);\nbegin;\n")
    for i in range(1, inserts + 1):
        f.write("insert into bench (id,name,n) values (%d,'name %d',%d);\n" % (i, i, i % 97))
    f.write("commit;\n")
    for i in range(1, selects + 1):
        f.write("select name, n from bench where id = %d;\n" % (i * 7))
PY

now() { date +%s.%N; }

: >"$work/kavo.db"
echo "clientdb: kavo-clientdb, $inserts inserts and $selects selects from page script"
s=$(now)
QT_QPA_PLATFORM=offscreen "$tool" "$work/kavo.db" "$inserts" "$selects"
e=$(now)
kavo=$(awk -v s="$s" -v e="$e" 'BEGIN {printf "%.3f", e - s}')

: >"$work/peer.db"
echo "clientdb: sqlite3 shell, the same statements"
s=$(now)
sqlite3 "$work/peer.db" <"$work/peer.sql" >"$work/peer.out"
e=$(now)
peer=$(awk -v s="$s" -v e="$e" 'BEGIN {printf "%.3f", e - s}')

rows_kavo=$(sqlite3 "$work/kavo.db" 'select count(*) from bench')
rows_peer=$(sqlite3 "$work/peer.db" 'select count(*) from bench')
echo "clientdb: rows kavo $rows_kavo, sqlite3 $rows_peer; selected lines sqlite3 $(wc -l <"$work/peer.out")"
echo "clientdb: kavo $kavo s, sqlite3 $peer s"
echo "RATIO $(awk -v k="$kavo" -v p="$peer" 'BEGIN {printf "%.2f", k / p}')"
