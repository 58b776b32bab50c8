#!/usr/bin/env python3
"""A PocketBase-compatible cloud service for the tests (Python standard library only).

Start:  python3 pocketbase_service.py --port 0
It binds 127.0.0.1, prints one line "LISTENING <port>" and serves until killed.

It answers what Tonewharf asks the way PocketBase does: password sign-in and auth-refresh of the
"users" collection, the record list with paging, multipart create and update, JSON update, stored
file names with a random 10-character suffix, file download, PocketBase's error bodies and the
realtime stream with its subscription (/api/realtime).

Everything under /_test/ is the control API of the tests; it is never recorded:

  POST   /_test/users                  {"email","password"} -> {"id"}
  POST   /_test/records                {"collection","fields",("fileName","fileBase64")} -> record
  PATCH  /_test/records/<c>/<id>       {fields} -> record
  DELETE /_test/records/<c>/<id>
  GET    /_test/requests               -> [{"method","path","query","headers","bodyBase64"}]
  DELETE /_test/requests               forgets the requests, the stream opens and unused scripts
  POST   /_test/fail                   {"method","path","status","bodyBase64","count","stall","close"}
  DELETE /_test/fail
  POST   /_test/realtime/script        {"streams":[{"chunks":[{"base64","delayMs"}],"close"}]}
  POST   /_test/realtime/send          {"base64"} -> {"streams": open streams}
  POST   /_test/realtime/cut
  GET    /_test/realtime/clients       -> [{"clientId","subscriptions"}]
  GET    /_test/realtime/opens         -> {"count","times"}

Scripted streams answer the next stream requests with their chunks instead of PB_CONNECT. Qt's
HTTP client resends a request once or twice when the server closes the connection before any
byte of an answer, so give a "close" failure a count of 3 or more.
"""

import argparse
import base64
import json
import os
import queue
import re
import secrets
import select
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

COLLECTIONS = ("tintara_luts", "tintara_looks", "tintara_projects", "tintara_shots")
# The schema of the one collection whose fields Tonewharf reads: PocketBase answers every field.
LUT_DEFAULTS = {"owner": "", "name": "", "file": "", "size": 0, "resolve": False, "source": "", "look": None}
NOT_FOUND = "The requested resource wasn't found."
BAD_FORM = "Failed to load the submitted data due to invalid formatting."


def random_id(length=15):
    return "".join(secrets.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(length))


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def stored_file_name(original):
    """PocketBase's stored name: the sanitised base name, "_", ten random characters, extension."""
    base, dot, ext = original.rpartition(".")
    if not dot:
        base, ext = original, ""
    base = re.sub(r"[^a-z0-9]+", "_", base.lower()).strip("_") or random_id(8)
    return "%s_%s%s" % (base, random_id(10), "." + ext.lower() if dot else "")


class ApiError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.body = {"code": status, "message": message, "data": {}}


def parse_multipart(content_type, body):
    """(fields, (file name, bytes) or None); strict about the framing the client must get right."""
    match = re.search(r'boundary="?([^";]+)"?', content_type)
    if not match:
        raise ApiError(400, BAD_FORM)
    pieces = body.split(b"--" + match.group(1).encode("latin-1"))
    if len(pieces) < 3 or pieces[0] or pieces[-1] != b"--\r\n":
        raise ApiError(400, BAD_FORM)
    fields, upload = {}, None
    for piece in pieces[1:-1]:
        head, separator, content = piece.partition(b"\r\n\r\n")
        if not separator or not head.startswith(b"\r\n") or not content.endswith(b"\r\n"):
            raise ApiError(400, BAD_FORM)
        head = head.decode("utf-8")
        name = re.search(r'; name="([^"]*)"', head).group(1)
        file_name = re.search(r'; filename="([^"]*)"', head)
        if file_name:
            upload = (file_name.group(1), content[:-2])
        else:
            fields[name] = content[:-2].decode("utf-8")
    return fields, upload


def form_value(key, value):
    """A form text as PocketBase stores it in the field of that name."""
    if key == "size":
        return int(value) if value else 0
    if key == "resolve":
        return value == "true"
    if key == "look":
        return json.loads(value) if value else None
    return value


class Stream:
    """One open GET /api/realtime; writes happen only on its handler thread."""

    def __init__(self, client_id=None):
        self.client_id = client_id
        self.subscriptions = []
        self.outbox = queue.Queue()  # bytes to write, or None to end the stream


class Service:
    def __init__(self):
        self.lock = threading.Lock()
        self.users = {}  # id -> {"id", "email", "password"}
        self.tokens = {}  # token -> user id
        self.records = {name: {} for name in COLLECTIONS}  # collection -> id -> record
        self.files = {}  # (collection, id, stored name) -> bytes
        self.requests = []
        self.failures = []
        self.scripts = []
        self.streams = []
        self.opens = []

    def auth_answer(self, user):
        token = "pbt." + secrets.token_urlsafe(24)
        with self.lock:
            self.tokens[token] = user["id"]
        return {"token": token, "record": {"id": user["id"], "email": user["email"], "verified": True}}

    def save(self, collection, record, fields, upload, action):
        for key, value in fields.items():
            if key not in ("id", "collectionName"):
                record[key] = value
        if upload is not None:
            stored = stored_file_name(upload[0])
            with self.lock:
                self.files.pop((collection, record["id"], record.get("file")), None)
                self.files[(collection, record["id"], stored)] = upload[1]
            record["file"] = stored
        with self.lock:
            self.records[collection][record["id"]] = record
        self.broadcast(collection, action, record)
        return record

    def create(self, collection, fields, upload=None):
        record = {"collectionName": collection, "id": random_id()}
        if collection == "tintara_luts":
            record.update(LUT_DEFAULTS)
        return self.save(collection, record, fields, upload, "create")

    def update(self, collection, record_id, fields, upload=None):
        with self.lock:
            current = self.records[collection].get(record_id)
        if current is None:
            raise ApiError(404, NOT_FOUND)
        return self.save(collection, json.loads(compact(current)), fields, upload, "update")

    def broadcast(self, collection, action, record):
        data = compact({"action": action, "record": record}).encode("utf-8")
        with self.lock:
            streams = [stream for stream in self.streams if collection in stream.subscriptions]
        for stream in streams:
            stream.outbox.put(b"id:%s\nevent:%s\ndata:%s\n\n" % (stream.client_id.encode(), collection.encode(), data))

    def take_failure(self, method, path):
        with self.lock:
            for failure in self.failures:
                if failure.get("method", method) == method and path.startswith(failure.get("path", "")):
                    failure["count"] -= 1
                    if failure["count"] <= 0:
                        self.failures.remove(failure)
                    return failure
        return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    @property
    def service(self):
        return self.server.service

    def send_bytes(self, status, body, content_type="application/json"):
        self.send_response(status)
        if status != 204:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 204:
            self.wfile.write(body)

    def send_json(self, status, value):
        self.send_bytes(status, compact(value).encode("utf-8"))

    def handle_any(self):
        parts = urlsplit(self.path)
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if parts.path.startswith("/_test/"):
            try:
                self.control(self.command, parts.path, json.loads(body) if body.strip() else {})
            except ApiError as error:
                self.send_json(error.status, error.body)
            return
        headers = {}
        for name, value in self.headers.items():
            name = name.lower()
            headers[name] = headers[name] + ", " + value if name in headers else value
        with self.service.lock:
            self.service.requests.append({"method": self.command, "path": parts.path, "query": parts.query,
                                          "headers": headers,
                                          "bodyBase64": base64.b64encode(body).decode("ascii")})
        failure = self.service.take_failure(self.command, parts.path)
        try:
            if failure is not None:
                self.fail(failure)
            else:
                self.api(self.command, unquote(parts.path).split("/")[1:], parse_qs(parts.query), headers, body)
        except ApiError as error:
            self.send_json(error.status, error.body)
        except (ValueError, KeyError, TypeError, AttributeError):
            self.send_json(400, ApiError(400, BAD_FORM).body)

    do_GET = do_POST = do_PATCH = do_DELETE = handle_any

    def fail(self, failure):
        if failure.get("stall"):
            while not self.peer_closed(0.5):
                pass
        elif not failure.get("close"):
            self.send_bytes(failure.get("status", 500), base64.b64decode(failure.get("bodyBase64", "")))
            return
        self.hang_up()

    def hang_up(self):
        """Ends the connection without (another) byte."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def peer_closed(self, wait):
        """True once the client has closed its end (whatever else it sends is dropped)."""
        if not select.select([self.connection], [], [], wait)[0]:
            return False
        try:
            return not self.connection.recv(65536)
        except OSError:
            return True

    # The PocketBase API

    def api(self, method, segments, query, headers, body):
        service = self.service
        if segments == ["api", "realtime"] and method == "GET":
            return self.realtime_stream()
        if segments == ["api", "realtime"] and method == "POST":
            value = json.loads(body)
            with service.lock:
                stream = next((s for s in service.streams if s.client_id == value["clientId"]), None)
                if stream is None:
                    raise ApiError(404, "Missing or invalid client id.")
                stream.subscriptions = list(value["subscriptions"])
            return self.send_bytes(204, b"")
        if segments == ["api", "collections", "users", "auth-with-password"] and method == "POST":
            value = json.loads(body)
            with service.lock:
                user = next((user for user in service.users.values() if user["email"].lower() ==
                             value["identity"].lower() and user["password"] == value["password"]), None)
            if user is None:
                raise ApiError(400, "Failed to authenticate.")
            return self.send_json(200, service.auth_answer(user))
        if segments == ["api", "collections", "users", "auth-refresh"] and method == "POST":
            token = headers.get("authorization", "").removeprefix("Bearer ")
            with service.lock:
                user = service.users.get(service.tokens.get(token))
            if user is None:
                raise ApiError(401, "The request requires valid record authorization token.")
            return self.send_json(200, service.auth_answer(user))
        if segments[:2] == ["api", "collections"] and segments[3:4] == ["records"]:
            collection = segments[2]
            if collection not in COLLECTIONS:
                raise ApiError(404, "Missing collection context.")
            if len(segments) == 4 and method == "GET":
                return self.list_records(collection, query)
            content_type = headers.get("content-type", "")
            if content_type.startswith("multipart/form-data"):
                fields, upload = parse_multipart(content_type, body)
                fields = {key: form_value(key, value) for key, value in fields.items()}
            else:
                fields, upload = json.loads(body), None
            if len(segments) == 4 and method == "POST":
                return self.send_json(200, service.create(collection, fields, upload))
            if len(segments) == 5 and method == "PATCH":
                return self.send_json(200, service.update(collection, segments[4], fields, upload))
        if segments[:2] == ["api", "files"] and len(segments) == 5 and method == "GET":
            with service.lock:
                content = service.files.get(tuple(segments[2:]))
            if content is not None:
                return self.send_bytes(200, content, "application/octet-stream")
        raise ApiError(404, NOT_FOUND)

    def list_records(self, collection, query):
        page = max(1, int(query.get("page", ["1"])[0]))
        per_page = min(1000, max(1, int(query.get("perPage", ["30"])[0])))
        # Records are kept in the order they were created, which is all the sorting Tonewharf asks for.
        with self.service.lock:
            items = list(self.service.records[collection].values())
        self.send_json(200, {"page": page, "perPage": per_page, "totalItems": len(items),
                             "totalPages": (len(items) + per_page - 1) // per_page,
                             "items": items[(page - 1) * per_page:page * per_page]})

    def realtime_stream(self):
        service = self.service
        with service.lock:
            service.opens.append(time.monotonic())
            script = service.scripts.pop(0) if service.scripts else None
        stream = Stream(None if script is not None else random_id(40))
        with service.lock:
            service.streams.append(stream)
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            if script is None:
                stream.outbox.put(b"id:%s\nevent:PB_CONNECT\ndata:%s\n\n"
                                  % (stream.client_id.encode(), compact({"clientId": stream.client_id}).encode()))
            else:
                for chunk in script.get("chunks", []):
                    time.sleep(chunk.get("delayMs", 0) / 1000.0)
                    self.wfile.write(base64.b64decode(chunk.get("base64", "")))
                    self.wfile.flush()
                if script.get("close"):
                    return
            # Written as it comes; a peer that hangs up is noticed within a twentieth of a second.
            while not self.server.stopping.is_set():
                try:
                    item = stream.outbox.get(timeout=0.05)
                except queue.Empty:
                    if self.peer_closed(0):
                        return
                    continue
                if item is None:
                    return
                self.wfile.write(item)
                self.wfile.flush()
        except OSError:
            pass
        finally:
            with service.lock:
                service.streams.remove(stream)
            self.hang_up()

    # The control API

    def control(self, method, path, value):
        service = self.service
        segments = path.split("/")[2:]
        answer = {}
        if segments == ["users"] and method == "POST":
            user = {"id": random_id(), "email": value["email"], "password": value["password"]}
            with service.lock:
                service.users[user["id"]] = user
            answer = {"id": user["id"]}
        elif segments == ["records"] and method == "POST":
            upload = None
            if "fileName" in value:
                upload = (value["fileName"], base64.b64decode(value.get("fileBase64", "")))
            answer = service.create(value["collection"], value.get("fields") or {}, upload)
        elif len(segments) == 3 and segments[0] == "records" and method == "PATCH":
            answer = service.update(segments[1], segments[2], value)
        elif len(segments) == 3 and segments[0] == "records" and method == "DELETE":
            with service.lock:
                record = service.records[segments[1]].pop(segments[2])
            service.broadcast(segments[1], "delete", record)
        elif segments == ["requests"] and method == "GET":
            with service.lock:
                answer = list(service.requests)
        elif segments == ["requests"]:
            with service.lock:
                service.requests, service.opens, service.scripts = [], [], []
        elif segments == ["fail"]:
            with service.lock:
                if method == "POST":
                    service.failures.append(dict(value, count=int(value.get("count", 1))))
                else:
                    service.failures.clear()
        elif segments == ["realtime", "script"]:
            with service.lock:
                service.scripts.extend(value["streams"])
        elif segments in (["realtime", "send"], ["realtime", "cut"]):
            item = base64.b64decode(value.get("base64", "")) if segments[1] == "send" else None
            with service.lock:
                streams = list(service.streams)
            for stream in streams:
                stream.outbox.put(item)
            answer = {"streams": len(streams)}
        elif segments == ["realtime", "clients"]:
            with service.lock:
                answer = [{"clientId": s.client_id, "subscriptions": s.subscriptions}
                          for s in service.streams if s.client_id]
        elif segments == ["realtime", "opens"]:
            with service.lock:
                answer = {"count": len(service.opens), "times": list(service.opens)}
        else:
            raise ApiError(404, NOT_FOUND)
        self.send_json(200, answer)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port):
        super().__init__(("127.0.0.1", port), Handler)
        self.service = Service()
        self.stopping = threading.Event()


def exit_with_parent():
    """A test that crashes cannot kill its service; the service notices and goes too."""
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    server = Server(parser.parse_args().port)
    threading.Thread(target=exit_with_parent, daemon=True).start()
    sys.stdout.write("LISTENING %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.stopping.set()


if __name__ == "__main__":
    main()
