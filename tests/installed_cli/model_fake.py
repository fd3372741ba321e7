"""A local stand-in for an OpenAI-compatible Chat Completions API, for the installed-command
test of `velko ask`.

    python3 model_fake.py PORT_FILE LOG_FILE

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE once it accepts
connections, and answers POST /v1/chat/completions in the streaming format (server-sent
events, "data: [DONE]" last): a conversation without a tool result gets a call of
list_tables_tool on the schema "main"; one whose last message is a tool result gets a text
answer naming how many tables the result listed. Appends one JSON line per request
({"path", "authorization", "body"}) to LOG_FILE. Runs until killed.
"""
import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def chunk(delta, finish=None, usage=None):
    body = {"id": "chatcmpl-1", "object": "chat.completion.chunk", "created": 1, "model": "fake-model",
            "choices": [] if usage else [{"index": 0, "delta": delta, "finish_reason": finish}]}
    if usage:
        body["usage"] = usage
    return ("data: " + json.dumps(body) + "\n\n").encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        with open(self.server.log_file, "a", encoding="utf-8") as log:
            log.write(json.dumps({"path": self.path, "authorization": self.headers.get("Authorization"),
                                  "body": raw}) + "\n")
        if self.path != "/v1/chat/completions":
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
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
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        for event in events:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(event), event))
            self.wfile.flush()
        self.wfile.write(b"0\r\n\r\n")

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
