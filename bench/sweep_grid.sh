#!/usr/bin/env bash
# The reference sweep (examples/sweep_smollm2.toml: SmolLM2 × every pydoc
# topic at 512 tokens × the full cache and six strategies at two budgets) on
# the local backend with 2 jobs, killed with SIGKILL once a third of its
# results are stored, then resumed to the end. Prints the time of each run,
# what the store says each run computed (and fails if any result was
# computed twice), the report, and the report's table in Markdown for the
# README.
#
#   bash bench/sweep_grid.sh [STORE [SWEEP OPTIONS...]]
#
# STORE defaults to bench/results/sweep_grid.sqlite; an existing STORE is
# resumed, not replaced. SWEEP OPTIONS go to both runs and replace the
# grid's values (a short check: --limit-texts 4 --max-tokens 256). Run the
# full grid on a quiet machine; PYTHON overrides .venv/bin/python, GRID the
# TOML file, JOBS the worker count.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
py="${PYTHON:-$root/.venv/bin/python}"
grid="${GRID:-$root/examples/sweep_smollm2.toml}"
jobs="${JOBS:-2}"
store="${1:-$root/bench/results/sweep_grid.sqlite}"
shift || true
mkdir -p "$(dirname "$store")"
sweep=("$py" -m marrowvale sweep --config "$grid" --backend local --jobs "$jobs" --store "$store" "$@")

# Prints the results stored done, the number of runs, and what the newest
# run set out to compute (-1 before any).
progress() {
    "$py" - "$store" <<'PY'
import sqlite3, sys
try:
    db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
    done = db.execute("SELECT count(*) FROM results WHERE status = 'done'").fetchone()[0]
    runs, planned = db.execute("SELECT count(*), (SELECT planned FROM runs ORDER BY id DESC LIMIT 1) "
                               "FROM runs").fetchone()
    print(done, runs, -1 if planned is None else planned)
    db.close()
except sqlite3.Error:
    print(0, 0, -1)
PY
}

echo "== $(date -u +%FT%TZ) on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== ${sweep[*]}"
read -r before runs_before _ < <(progress)
start=$(date +%s)
"${sweep[@]}" 2>"$store.first.log" &
driver=$!
# The driver's workers stop by themselves once it is gone; this only makes
# sure nothing of this script's outlives it when it is interrupted.
trap 'kill -9 "$driver" 2>/dev/null || true' EXIT
kill_at=-1
while kill -0 "$driver" 2>/dev/null; do
    read -r done runs planned < <(progress)
    # The run's row appears once the grid is checked and planned.
    if [ "$kill_at" -lt 0 ] && [ "$runs" -gt "$runs_before" ] && [ "$planned" -gt 0 ]; then
        kill_at=$(( before + planned / 3 ))
    fi
    if [ "$kill_at" -ge 0 ] && [ "$done" -ge "$kill_at" ]; then
        kill -9 "$driver"
        echo "== killed the driver (SIGKILL) with $done results stored; the run had planned $planned"
        break
    fi
    sleep 2
done
wait "$driver" 2>/dev/null || true
trap - EXIT  # the driver is gone; its process id may be another's now
first=$(( $(date +%s) - start ))
echo "== first run ${first} s, load $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s)
"${sweep[@]}" 2>"$store.second.log"
second=$(( $(date +%s) - start ))
echo "== resumed run ${second} s; together $(( first + second )) s ($(( (first + second) / 60 )) min), load $(cut -d' ' -f1-3 /proc/loadavg)"

"$py" - "$store" <<'PY'
import sqlite3, sys
from marrowvale.sweep import Store
with sqlite3.connect(sys.argv[1]) as db:
    integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
with Store(sys.argv[1]) as store:
    runs = store.runs()
    rows = list(store.rows())
print("run  started                   finished                  planned   done  failed")
for r in runs:
    print(f"{r['id']:>3}  {r['started']:<24}  {str(r['finished']):<24}  {r['planned']:>7}  {r['done']:>5}  "
          f"{r['failed']:>6}")
done = [r for r in rows if r.status == "done"]
counted = sum(r["done"] for r in runs)
# The store never replaces a result done, and each run counts what it
# stored done: a result computed and stored twice would make the runs'
# counts exceed the rows.
print(f"store integrity: {integrity}; results stored done: {len(done)} of {len(rows)}; done counted over the "
      f"runs: {counted}")
if counted != len(done) or integrity != "ok":
    sys.exit("a result was computed twice, or the store is damaged")
print("no result was computed twice")
PY
"$py" -m marrowvale sweep report --store "$store" --json "${store%.sqlite}.json" --csv "${store%.sqlite}.csv" \
    --plot "${store%.sqlite}.png"
echo
echo "== the README's table"
"$py" -m marrowvale sweep report --store "$store" --markdown
