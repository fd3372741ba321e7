"""A local stand-in for the web application's search proxy, the hosted Chroma database
and the embeddings service, for the installed-command test.

    python3 stub_server.py PORT_FILE LOG_FILE

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE once it accepts
connections, answers the routes below, and appends one JSON line per request
({"method", "path", "authorization", "chroma_token", "body"}) to LOG_FILE. Unknown routes
get 404. Runs until killed.
"""
import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROUTES = {
    ("POST", "/api/tavily/web"): {"results": [{"title": "dbt snapshots", "url": "https://docs.example/snap"}]},
    ("POST", "/api/tavily/qna"): {"answer": "dlt is a data load tool"},
    ("GET", "/api/v2/tenants/t/databases/d/collections/dbt_docs"): {"id": "col-1", "name": "dbt_docs"},
    ("POST", "/v1/embeddings"): {"data": [{"embedding": [0.5, 0.25]}]},
    ("POST", "/api/v2/tenants/t/databases/d/collections/col-1/query"): {
        "documents": [["Snapshots record changes to a mutable table."]],
        "metadatas": [[{"file_path": "docs/snapshots.md", "chunk_index": 2}]],
        "distances": [[0.25]],
    },
}


class Handler(BaseHTTPRequestHandler):
    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        path = self.path.split("?", 1)[0]
        with open(self.server.log_file, "a", encoding="utf-8") as log:
            log.write(json.dumps({"method": self.command, "path": path,
                                  "authorization": self.headers.get("Authorization"),
                                  "chroma_token": self.headers.get("X-Chroma-Token"), "body": body}) + "\n")
        reply = ROUTES.get((self.command, path))
        data = json.dumps(reply).encode() if reply is not None else b""
        self.send_response(200 if reply is not None else 404)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    do_GET = answer
    do_POST = answer

    def log_message(self, *args):
        pass


def main():
    port_file, log_file = sys.argv[1], sys.argv[2]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.log_file = log_file
    with open(port_file + ".tmp", "w", encoding="utf-8") as out:
        out.write(str(server.server_address[1]))
    import os
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
