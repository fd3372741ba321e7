#!/usr/bin/python3
"""Times sqlglot (Debian's python3-sqlglot) capping the SQL corpus at 1000 rows.

The same records and the same transform as bench/sql_limit_bench.cc: parse the
statement in its dialect; if it is a query (SELECT or a set operation) without a
limit, add LIMIT 1000; if its LIMIT / FETCH count is a number above 1000, replace it;
write the SQL back. Prints statements/s and MB/s per dialect and overall (best of
--repeat runs, single-threaded), and how often the outcome matches expected.jsonl, as a
check that this is the transform the reference outcomes came from.

Run with the system interpreter, where python3-sqlglot lives:
    /usr/bin/python3 bench/sqlglot_speed.py [--repeat 3] [--corpus DIR]
"""

import argparse
import json
import logging
import os
import sys
import time

try:
    import sqlglot
    from sqlglot import exp
except ImportError:  # pragma: no cover - depends on the machine
    sys.exit("sqlglot is not importable; install python3-sqlglot and use /usr/bin/python3")

LIMIT = 1000

# sqlglot logs a warning for each construct it drops while writing SQL back.
logging.getLogger("sqlglot").setLevel(logging.ERROR)


def _numeric(node):
    """The number a literal limit holds, or None."""
    if isinstance(node, exp.Literal) and not node.is_string:
        try:
            return float(node.this)
        except ValueError:
            return None
    return None


def cap(sql, dialect):
    """Returns (text, outcome) with sqlglot's outcome classes."""
    try:
        parsed = sqlglot.parse_one(sql, read=dialect)
    except Exception:  # sqlglot raises several error types for unreadable text
        return sql, "unparsed"
    if not isinstance(parsed, (exp.Select, exp.Union)):
        return sql, "not_a_query"
    existing = parsed.args.get("limit")
    if existing is None:
        outcome = "added"
        parsed = parsed.limit(LIMIT)
    else:
        field = "count" if isinstance(existing, exp.Fetch) else "expression"
        value = _numeric(existing.args.get(field))
        if value is not None and value > LIMIT:
            existing.set(field, exp.Literal.number(LIMIT))
            outcome = "lowered"
        else:
            outcome = "kept"
    try:
        return parsed.sql(dialect=dialect), outcome
    except Exception:
        return sql, "generate_error"


def load(corpus_dir):
    with open(os.path.join(corpus_dir, "corpus.jsonl"), encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    expected = {}
    path = os.path.join(corpus_dir, "expected.jsonl")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    row = json.loads(line)
                    expected[row["id"]] = row["outcome"]
    return records, expected


def time_records(records, repeat):
    """Best wall-clock and best CPU seconds over `repeat` runs."""
    best_wall = best_cpu = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        for record in records:
            cap(record["sql"], record["dialect"])
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        best_wall = wall if best_wall is None else min(best_wall, wall)
        best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
    return best_wall, best_cpu


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_corpus = os.path.join(os.path.dirname(here), "tests", "data", "sql-corpus")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--corpus", default=default_corpus)
    args = parser.parse_args()

    records, expected = load(args.corpus)
    matches = sum(1 for r in records if expected.get(r["id"]) == cap(r["sql"], r["dialect"])[1])

    print(f"sqlglot {sqlglot.__version__} on Python {sys.version.split()[0]}, "
          f"{len(records)} records, limit {LIMIT}, best of {args.repeat}")
    print("(wall: elapsed time; cpu: this process's CPU time, which a busy machine "
          "inflates less)")
    print(f"{'dialect':<11} {'records':>7} {'wall s':>7} {'stmts/s':>9} {'MB/s':>6} "
          f"{'cpu s':>7} {'stmts/s':>9} {'MB/s':>6}")
    groups = [(d, [r for r in records if r["dialect"] == d])
              for d in ("databricks", "postgres", "snowflake")]
    groups.append(("total", records))
    for name, group in groups:
        wall, cpu = time_records(group, args.repeat)
        size = sum(len(r["sql"].encode("utf-8")) for r in group)
        print(f"{name:<11} {len(group):>7} {wall:>7.3f} {len(group) / wall:>9,.0f} "
              f"{size / wall / 1e6:>6.3f} {cpu:>7.3f} {len(group) / cpu:>9,.0f} "
              f"{size / cpu / 1e6:>6.3f}")
    if expected:
        print(f"\noutcome equal to expected.jsonl on {matches}/{len(records)} records")


if __name__ == "__main__":
    main()
