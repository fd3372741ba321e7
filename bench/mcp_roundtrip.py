#!/usr/bin/env python3
"""Round trip of `velko mcp` for tools/call of execute_sql_query on the demo warehouse,
and the command's start-up time.

    bench/mcp_roundtrip.py [--velko build/app/velko] [--calls 1000]

Prints the median and p99 of the round trip (request written -> response read) over the
calls, and the median wall time of `velko --version` and `velko prompt` over 20 runs.
Uses a temporary HOME holding only the demo warehouse.
"""
import argparse
import json
import os
import statistics
import subprocess
import tempfile
import time


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))
    return ordered[index]


def time_command(argv, env, runs=20):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velko", default="build/app/velko")
    parser.add_argument("--calls", type=int, default=1000)
    args = parser.parse_args()
    home = tempfile.mkdtemp(prefix="velko-bench-")
    env = dict(os.environ, HOME=home)
    subprocess.run([args.velko, "demo", "--skip-chart"], env=env, stdout=subprocess.DEVNULL, check=True)

    server = subprocess.Popen([args.velko, "mcp"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, bufsize=1)

    def send(message):
        server.stdin.write(json.dumps(message) + "\n")
        server.stdin.flush()
        return json.loads(server.stdout.readline())

    send({"jsonrpc": "2.0", "id": 0, "method": "initialize",
          "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                     "clientInfo": {"name": "bench", "version": "1"}}})
    server.stdin.write(json.dumps({"jsonrpc": "2.0", "method": "notifications/initialized"}) + "\n")
    query = ("SELECT c.segment, COUNT(*) AS orders FROM orders o JOIN customers c "
             "ON c.customer_id = o.customer_id GROUP BY c.segment ORDER BY orders DESC")
    samples = []
    for call_id in range(1, args.calls + 1):
        start = time.perf_counter()
        response = send({"jsonrpc": "2.0", "id": call_id, "method": "tools/call",
                         "params": {"name": "execute_sql_query", "arguments": {"query": query}}})
        samples.append(time.perf_counter() - start)
        if response["result"]["isError"]:
            raise SystemExit("tool call failed: " + response["result"]["content"][0]["text"])
    server.stdin.close()
    server.wait()

    print(f"tools/call execute_sql_query round trip over {args.calls} calls: "
          f"median {statistics.median(samples) * 1e3:.3f} ms, p99 {percentile(samples, 0.99) * 1e3:.3f} ms")
    print(f"start-up: velko --version {time_command([args.velko, '--version'], env) * 1e3:.1f} ms, "
          f"velko prompt {time_command([args.velko, 'prompt'], env) * 1e3:.1f} ms (median of 20)")


if __name__ == "__main__":
    main()
