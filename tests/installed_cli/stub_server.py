"""A local stand-in for the services the installed command talks to, for the
installed-command test: the web application's search proxy, the hosted Chroma database,
the embeddings service, and an OpenAI-compatible Chat Completions API.

    python3 stub_server.py PORT_FILE LOG_FILE

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE once it accepts
connections, answers the routes below, and appends one JSON line per request
({"method", "path", "authorization", "chroma_token", "body"}) to LOG_FILE. Unknown routes
get 404. Runs until killed.

POST /v1/chat/completions answers in the streaming format (server-sent events,
"data: [DONE]" last): a conversation without a tool result gets a call of
list_tables_tool on the schema "main"; one whose last message is a tool result gets a text
answer naming how many tables the result listed.
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


def chunk(delta, finish=None, usage=None):
    body = {"id": "chatcmpl-1", "object": "chat.completion.chunk", "created": 1, "model": "fake-model",
            "choices": [] if usage else [{"index": 0, "delta": delta, "finish_reason": finish}]}
    if usage:
        body["usage"] = usage
    return ("data: " + json.dumps(body) + "\n\n").encode()


def chat_events(raw):
    messages = json.loads(raw)["messages"]
    events = [chunk({"role": "assistant", "content": ""})]
    if messages[-1]["role"] != "tool":
        events.append(chunk({"tool_calls": [{"index": 0, "id": "call_1", "type": "function",
                                             "function": {"name": "list_tables_tool", "arguments": ""}}]}))
        events.append(chunk({"tool_calls": [{"index": 0, "function": {"arguments": '{"db_schema": "main"}'}}]}))
        events.append(chunk({}, "tool_calls"))
    else:
        tables = json.loads(messages[-1]["content"]).get("tables", [])
        for piece in ["The demo warehouse ", "has %d tables" % len(tables), ", orders among them."]:
            events.append(chunk({"content": piece}))
        events.append(chunk({}, "stop"))
    events.append(chunk(None, usage={"prompt_tokens": 50, "completion_tokens": 5, "total_tokens": 55}))
    events.append(b"data: [DONE]\n\n")
    return events


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def stream(self, events):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        for event in events:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(event), event))
            self.wfile.flush()
        self.wfile.write(b"0\r\n\r\n")

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        path = self.path.split("?", 1)[0]
        with open(self.server.log_file, "a", encoding="utf-8") as log:
            log.write(json.dumps({"method": self.command, "path": path,
                                  "authorization": self.headers.get("Authorization"),
                                  "chroma_token": self.headers.get("X-Chroma-Token"), "body": body}) + "\n")
        if (self.command, path) == ("POST", "/v1/chat/completions"):
            self.stream(chat_events(body))
            return
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
