#!/usr/bin/env python3
"""Round trip of `velko mcp` for tools/call of execute_sql_query on the demo warehouse,
over stdio and over Streamable HTTP, the throughput with 8 concurrent clients, and the
command's start-up time.

    bench/mcp_roundtrip.py [--velko build/app/velko] [--calls 1000] [--clients 8]

Prints, per transport, the median and p99 of the round trip (request written -> response
read) over the calls made one after another, then the calls per second that 8 clients
making calls at once get (stdio: 8 requests kept in flight on the one session; HTTP: 8
sessions, each on its own keep-alive connection), and the median wall time of
`velko --version` and `velko prompt` over 20 runs. Uses a temporary HOME holding only the
demo warehouse.
"""
import argparse
import http.client
import json
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

QUERY = ("SELECT c.segment, COUNT(*) AS orders FROM orders o JOIN customers c "
         "ON c.customer_id = o.customer_id GROUP BY c.segment ORDER BY orders DESC")
INITIALIZE = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
              "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                         "clientInfo": {"name": "bench", "version": "1"}}}
INITIALIZED = {"jsonrpc": "2.0", "method": "notifications/initialized"}


def call(call_id):
    return {"jsonrpc": "2.0", "id": call_id, "method": "tools/call",
            "params": {"name": "execute_sql_query", "arguments": {"query": QUERY}}}


def check(response):
    if "result" not in response or response["result"]["isError"]:
        raise SystemExit("tool call failed: " + json.dumps(response)[:500])


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))
    return ordered[index]


def report(label, samples):
    print(f"{label}: tools/call execute_sql_query round trip over {len(samples)} calls: "
          f"median {statistics.median(samples) * 1e3:.3f} ms, p99 {percentile(samples, 0.99) * 1e3:.3f} ms")


def time_command(argv, env, runs=20):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def bench_stdio(velko, env, calls, clients):
    server = subprocess.Popen([velko, "mcp"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, bufsize=1)

    def write(message):
        server.stdin.write(json.dumps(message) + "\n")
        server.stdin.flush()

    def read():
        return json.loads(server.stdout.readline())

    write(INITIALIZE)
    read()
    write(INITIALIZED)
    samples = []
    for call_id in range(1, calls + 1):
        start = time.perf_counter()
        write(call(call_id))
        response = read()
        samples.append(time.perf_counter() - start)
        check(response)
    report("stdio", samples)

    # `clients` requests kept in flight: each answer is followed by a new request.
    next_id = calls + 1
    for _ in range(min(clients, calls)):
        write(call(next_id))
        next_id += 1
    start = time.perf_counter()
    for answered in range(calls):
        check(read())
        if answered + clients < calls:
            write(call(next_id))
            next_id += 1
    elapsed = time.perf_counter() - start
    print(f"stdio: {calls} calls with {clients} in flight: {calls / elapsed:.0f} calls/s")
    server.stdin.close()
    server.wait()


class HttpClient:
    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port)
        self.session = None
        self.post(INITIALIZE)
        self.post(INITIALIZED)

    def post(self, message):
        headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
        if self.session:
            headers["Mcp-Session-Id"] = self.session
        self.conn.request("POST", "/mcp", body=json.dumps(message), headers=headers)
        response = self.conn.getresponse()
        body = response.read()
        if response.status not in (200, 202):
            raise SystemExit(f"HTTP {response.status}: {body[:300]!r}")
        self.session = self.session or response.getheader("Mcp-Session-Id")
        return json.loads(body) if body else None


def bench_http(velko, env, calls, clients):
    server = subprocess.Popen([velko, "mcp", "--http", "127.0.0.1:0"], env=env, stderr=subprocess.PIPE, text=True)
    port = None
    while port is None:
        line = server.stderr.readline()
        if not line:
            raise SystemExit("velko mcp --http did not start")
        match = re.search(r"http://[^ ]+:(\d+)/mcp", line)
        port = int(match.group(1)) if match else None
    try:
        client = HttpClient(port)
        samples = []
        for call_id in range(1, calls + 1):
            start = time.perf_counter()
            response = client.post(call(call_id))
            samples.append(time.perf_counter() - start)
            check(response)
        report("http", samples)

        per_client = max(1, calls // clients)
        workers = [HttpClient(port) for _ in range(clients)]

        def run(worker):
            for call_id in range(per_client):
                check(worker.post(call(call_id + 1)))

        threads = [threading.Thread(target=run, args=(worker,)) for worker in workers]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.perf_counter() - start
        print(f"http: {per_client * clients} calls from {clients} concurrent clients: "
              f"{per_client * clients / elapsed:.0f} calls/s")
    finally:
        server.terminate()
        server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velko", default="build/app/velko")
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=8)
    args = parser.parse_args()
    home = tempfile.mkdtemp(prefix="velko-bench-")
    env = dict(os.environ, HOME=home)
    env.pop("VELKO_MCP_TOKEN", None)
    try:
        subprocess.run([args.velko, "demo", "--skip-chart"], env=env, stdout=subprocess.DEVNULL, check=True)
        bench_stdio(args.velko, env, args.calls, args.clients)
        bench_http(args.velko, env, args.calls, args.clients)
        print(f"start-up: velko --version {time_command([args.velko, '--version'], env) * 1e3:.1f} ms, "
              f"velko prompt {time_command([args.velko, 'prompt'], env) * 1e3:.1f} ms (median of 20)")
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
