#!/usr/bin/env python3
"""A PocketBase-compatible cloud service for the tests (Python standard library only).

python3 pocketbase_service.py --port 0 binds 127.0.0.1, prints "LISTENING <port>" and answers what
Tonewharf asks as PocketBase does until killed or its parent is gone.
The control API of the tests, never recorded, takes and gives JSON:
  POST /_test/users {"email","password"} -> {"id","token"}; POST /_test/records {"collection","fields",
  ("fileName","fileBase64")}; PATCH /_test/records/<c>/<id> {fields,("fileName","fileBase64")};
  DELETE /_test/records/<c>/<id>; GET /_test/transcript {"lines","names"} (see transcript_lines);
  GET|DELETE /_test/requests (DELETE also forgets stream opens and unused scripts); POST|DELETE
  /_test/fail {"method","path","status","bodyBase64","count","stall","close"}; POST /_test/realtime/script {"streams":[{"chunks":
  [{"base64","delayMs"}],"end"}]} (answers the next stream requests instead of PB_CONNECT);
  POST /_test/realtime/send {"base64"} -> {"streams"}; GET /_test/realtime/opens. Qt
  resends a request closed before any answer: give "close" a count of 3 or more.
"""

import base64, contextlib, hashlib, json, os, queue, re, secrets, select, socket, sys, threading, time, types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

COLLECTIONS = ("tintara_luts", "tintara_looks", "tintara_projects", "tintara_shots")
LUT_DEFAULTS = {"owner": "", "name": "", "file": "", "size": 0, "resolve": False, "source": "", "look": None}
NOT_FOUND = "The requested resource wasn't found."
BAD_FORM = "Failed to load the submitted data due to invalid formatting."


def random_id(length=15):
    return "".join(secrets.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(length))


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def stored_file_name(original):
    """PocketBase's stored name: the sanitised base name, "_", ten random characters, extension."""
    base, dot, ext = original.rpartition(".") if "." in original else (original, "", "")
    base = re.sub(r"[^a-z0-9]+", "_", base.lower()).strip("_") or random_id(8)
    return "%s_%s%s" % (base, random_id(10), dot + ext.lower())


class ApiError(Exception):
    """(status, message), answered with PocketBase's error body."""


def parse_multipart(content_type, body):
    """(fields, (file name, bytes) or None); strict about the framing the client must get right."""
    match = re.search(r'boundary="?([^";]+)"?', content_type)
    pieces = body.split(b"--" + match.group(1).encode("latin-1")) if match else []
    if len(pieces) < 3 or pieces[0] or pieces[-1] != b"--\r\n":
        raise ApiError(400, BAD_FORM)
    fields, upload = {}, None
    for piece in pieces[1:-1]:
        head, separator, content = piece.partition(b"\r\n\r\n")
        if not separator or not head.startswith(b"\r\n") or not content.endswith(b"\r\n"):
            raise ApiError(400, BAD_FORM)
        head = head.decode("utf-8")
        file_name = re.search(r'; filename="([^"]*)"', head)
        if file_name:
            upload = (file_name.group(1), content[:-2])
        else:
            fields[re.search(r'; name="([^"]*)"', head).group(1)] = content[:-2].decode("utf-8")
    # The form's texts as PocketBase stores them in the fields of those names.
    converters = {"size": lambda v: int(v) if v else 0, "resolve": lambda v: v == "true",
                  "look": lambda v: json.loads(v) if v else None}
    return {key: converters.get(key, str)(value) for key, value in fields.items()}, upload


class Service:
    def __init__(self):
        self.lock = threading.Lock()
        self.users, self.tokens, self.files = {}, {}, {}  # files: (collection, id, name) -> bytes
        self.records = {name: {} for name in COLLECTIONS}  # collection -> id -> record
        self.requests, self.failures, self.scripts, self.streams, self.opens = [], [], [], [], []

    def save(self, collection, record_id, fields, upload=None):
        with self.lock:
            if record_id is None:
                record = {**(LUT_DEFAULTS if collection == "tintara_luts" else {}), "id": random_id()}
            elif record_id in self.records[collection]:
                record = json.loads(compact(self.records[collection][record_id]))
            else:
                raise ApiError(404, NOT_FOUND)
            record.update({k: v for k, v in fields.items() if k not in ("id", "collectionName")})
            if upload is not None:
                self.files.pop((collection, record["id"], record.get("file")), None)
                record["file"] = stored_file_name(upload[0])
                self.files[(collection, record["id"], record["file"])] = upload[1]
            self.records[collection][record["id"]] = record
        self.broadcast(collection, "update" if record_id else "create", record)
        return record

    def broadcast(self, collection, action, record):
        data = compact({"action": action, "record": record})
        with self.lock:
            streams = [stream for stream in self.streams if collection in stream.subscriptions]
        for stream in streams:
            stream.outbox.put(b"id:%s\nevent:%s\ndata:%s\n\n" % (stream.client_id.encode(), collection.encode(), data))

    def take_failure(self, method, path):
        with self.lock:
            failure = next((f for f in self.failures
                            if f.get("method", method) == method and path.startswith(f.get("path", ""))), None)
            if failure is not None:
                failure["count"] -= 1
                self.failures = [f for f in self.failures if f["count"] > 0]
        return failure


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = lambda self, *args: None  # quiet

    def send(self, status, body, content_type="application/json"):
        body = body if isinstance(body, bytes) else compact(body)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        service = self.server.service
        parts = urlsplit(self.path)
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        headers = {name.lower(): value for name, value in self.headers.items()}
        try:
            if parts.path.startswith("/_test/"):
                return self.control(self.command, parts.path.split("/")[2:], json.loads(body) if body.strip() else {})
            with service.lock:
                service.requests.append({"method": self.command, "path": parts.path, "query": parts.query,
                                         "headers": headers, "bodyBase64": base64.b64encode(body).decode("ascii")})
            failure = service.take_failure(self.command, parts.path)
            if failure is None:
                self.api(self.command, unquote(parts.path).split("/")[1:], parse_qs(parts.query), headers, body)
            elif failure.get("stall") or failure.get("close"):
                while failure.get("stall") and not self.peer_closed(0.5):
                    pass
                self.hang_up()
            else:
                self.send(failure.get("status", 500), base64.b64decode(failure.get("bodyBase64", "")))
        except (ApiError, ValueError, KeyError, TypeError, AttributeError) as error:
            status, message = error.args if isinstance(error, ApiError) else (400, BAD_FORM)
            self.send(status, {"code": status, "message": message, "data": {}})

    do_GET = do_POST = do_PATCH = do_DELETE = handle_any

    def hang_up(self):
        """Ends the connection without (another) byte."""
        self.close_connection = True
        with contextlib.suppress(OSError):
            self.connection.shutdown(socket.SHUT_RDWR)

    def write_chunk(self, data):
        if data:  # an empty chunk would end the stream
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
            self.wfile.flush()

    def peer_closed(self, wait):
        """True once the client has closed its end (whatever else it sends is dropped)."""
        try:
            return bool(select.select([self.connection], [], [], wait)[0]) and not self.connection.recv(65536)
        except OSError:
            return True


    def api(self, method, segments, query, headers, body):
        service = self.server.service
        if segments == ["api", "realtime"]:
            if method == "GET":
                return self.realtime_stream()
            value = json.loads(body)
            with service.lock:
                stream = next((s for s in service.streams if s.client_id == value["clientId"]), None)
                if stream is None:
                    raise ApiError(404, "Missing or invalid client id.")
                stream.subscriptions = list(value["subscriptions"])
            return self.send(204, b"")
        if segments[:3] == ["api", "collections", "users"] and len(segments) == 4:
            with service.lock:
                if segments[3] == "auth-with-password":
                    value = json.loads(body)
                    user = next((u for u in service.users.values() if u["email"].lower() == value["identity"].lower()
                                 and u["password"] == value["password"]), None)
                    refusal = (400, "Failed to authenticate.")
                else:
                    user = service.users.get(service.tokens.get(headers.get("authorization", "")[len("Bearer "):]))
                    refusal = (401, "The request requires valid record authorization token.")
                if user is None:
                    raise ApiError(*refusal)
                token = "pbt." + secrets.token_urlsafe(24)
                service.tokens[token] = user["id"]
            return self.send(200, {"token": token, "record": {"id": user["id"], "email": user["email"]}})
        if segments[:2] == ["api", "collections"] and segments[3:4] == ["records"]:
            if segments[2] not in COLLECTIONS:
                raise ApiError(404, "Missing collection context.")
            if len(segments) == 4 and method == "GET":
                per_page = min(1000, max(1, int(query.get("perPage", ["30"])[0])))  # in order of creation
                with service.lock:
                    items = list(service.records[segments[2]].values())
                return self.send(200, {"page": 1, "perPage": per_page, "totalItems": len(items),
                                            "items": items[:per_page]})
            content_type = headers.get("content-type", "")
            if content_type.startswith("multipart/form-data"):
                fields, upload = parse_multipart(content_type, body)
            else:
                fields, upload = json.loads(body), None
            if (len(segments), method) in ((4, "POST"), (5, "PATCH")):
                return self.send(200, service.save(segments[2], segments[4] if len(segments) == 5 else None, fields, upload))
        if segments[:2] == ["api", "files"] and len(segments) == 5 and method == "GET":
            content = service.files.get(tuple(segments[2:]))
            if content is not None:
                return self.send(200, content, "application/octet-stream")
        raise ApiError(404, NOT_FOUND)

    def realtime_stream(self):
        service = self.server.service
        with service.lock:
            service.opens.append(time.monotonic())
            script = service.scripts.pop(0) if service.scripts else None
            # One open stream; its writes happen only on this thread. The outbox holds the bytes to send.
            stream = types.SimpleNamespace(client_id=None if script is not None else random_id(40), subscriptions=[],
                                           outbox=queue.Queue())
            service.streams.append(stream)
        try:
            # Chunked, as PocketBase's streams are: a scripted end is the last chunk, not a hang-up,
            # which Qt would take for a lost request and send again in the next script's place.
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            if script is None:
                stream.outbox.put(b"id:%s\nevent:PB_CONNECT\ndata:%s\n\n"
                                  % (stream.client_id.encode(), compact({"clientId": stream.client_id})))
            else:
                for chunk in script.get("chunks", []):
                    time.sleep(chunk.get("delayMs", 0) / 1000.0)
                    self.write_chunk(base64.b64decode(chunk.get("base64", "")))
                if script.get("end"):
                    self.wfile.write(b"0\r\n\r\n")
                    return
            # Written as it comes; a peer that hangs up is noticed within a twentieth of a second.
            while not self.peer_closed(0):
                try:
                    item = stream.outbox.get(timeout=0.05)
                except queue.Empty:
                    continue
                self.write_chunk(item)
            self.hang_up()
        except OSError:
            self.hang_up()
        finally:
            with service.lock:
                service.streams.remove(stream)


    def control(self, method, segments, value):
        service = self.server.service
        answer = {}
        with service.lock:
            if segments == ["users"]:
                answer = {"id": random_id(), "email": value["email"], "password": value["password"]}
                service.users[answer["id"]] = answer
                answer["token"] = "pbt." + secrets.token_urlsafe(24)
                service.tokens[answer["token"]] = answer["id"]
            elif segments == ["transcript"]:
                answer = {"lines": transcript_lines(service), "names": service.names}
            elif segments == ["requests"] and method == "GET":
                answer = list(service.requests)
            elif segments == ["requests"]:
                service.requests, service.opens, service.scripts = [], [], []
                service.__dict__.pop("lines", None)
            elif segments == ["fail"]:
                service.failures = service.failures + [dict(value, count=int(value.get("count", 1)))] if method == "POST" else []
            elif segments == ["realtime", "script"]:
                service.scripts.extend(value["streams"])
            elif segments == ["realtime", "send"]:
                for stream in service.streams:
                    stream.outbox.put(base64.b64decode(value.get("base64", "")))
                answer = {"streams": len(service.streams)}
            elif segments == ["realtime", "opens"]:
                answer = {"times": list(service.opens)}
            elif segments[0] != "records":
                raise ApiError(404, NOT_FOUND)
        upload = (value.pop("fileName"), base64.b64decode(value.pop("fileBase64", ""))) if "fileName" in value else None
        if segments == ["records"] and method == "POST":
            answer = service.save(value["collection"], None, value.get("fields") or {}, upload)
        elif len(segments) == 3 and segments[0] == "records" and method == "PATCH":
            answer = service.save(segments[1], segments[2], value, upload)
        elif len(segments) == 3 and segments[0] == "records" and method == "DELETE":
            with service.lock:
                record = service.records[segments[1]].pop(segments[2])
            service.broadcast(segments[1], "delete", record)
        self.send(200, answer)


def form_fields(content_type, body):
    """A multipart body's parts in order: name=value, a file as its name, size and SHA-256 (12 digits)."""
    fields = []
    for part in body.split(b"--" + content_type.split("boundary=")[-1].strip('"').encode())[1:-1]:
        head, _, content = part[:-2].partition(b"\r\n\r\n")
        file = re.search(rb'filename="([^"]*)"', head)
        fields.append(re.search(rb'; name="([^"]*)"', head).group(1).decode() + "=" + (
            "%s %d bytes %s" % (file.group(1).decode(), len(content), hashlib.sha256(content).hexdigest()[:12])
            if file else content.decode()))
    return "; ".join(fields)


def transcript_lines(service):
    """Every request so far as a line: method, path and query, the body (JSON with sorted keys, the parts
    of a form, or its size) and the authorization. What this service makes up gets a stable name: a user
    her e-mail's local part, a record its name (numbered when another had it), every token <token>, a
    stream's client and a stored file's random suffix a number in order of appearance."""
    names, lines = service.__dict__.setdefault("names", {}), service.__dict__.setdefault("lines", [])
    for user in service.users.values():
        names.setdefault(user["id"], "<%s>" % user["email"].split("@")[0])
    for record in (record for records in service.records.values() for record in records.values()):
        taken = sum(1 for name in names.values() if name.split(" #")[0].strip("<>") == record.get("name"))
        names.setdefault(record["id"], "<%s%s>" % (record.get("name"), " #%d" % (taken + 1) if taken else ""))
    for request in service.requests[len(lines):]:
        body, kind = base64.b64decode(request["bodyBase64"]), request["headers"].get("content-type", "")
        with contextlib.suppress(ValueError):
            body = compact(json.loads(body, object_pairs_hook=lambda pairs: dict(sorted(pairs)))).decode()
        if isinstance(body, bytes):
            body = form_fields(kind, body) if kind.startswith("multipart/") else body and "%d bytes" % len(body)
        authorization = request["headers"].get("authorization")
        line = " ".join(filter(None, [request["method"], request["path"] + "?" * bool(request["query"]) +
                                      request["query"], body, authorization and "[%s]" % authorization]))
        for pattern, kind in ((r"pbt\.[\w-]+", "token"), (r'(?<="clientId":")[a-z0-9]{40}', "client"),
                              (r"(?<=_)[a-z0-9]{10}(?=\.)", "suffix")):
            for made_up in re.findall(pattern, line):
                number = 1 + sum(name.startswith("<" + kind) for name in names.values())
                names.setdefault(made_up, "<token>" if kind == "token" else "<%s%d>" % (kind, number))
        for made_up, name in names.items():
            line = line.replace(made_up, name)
        lines.append(line)
    return lines


def exit_with_parent():
    """A test that crashes cannot kill its service; the service notices and goes too."""
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    server = ThreadingHTTPServer(("127.0.0.1", int(sys.argv[sys.argv.index("--port") + 1])), Handler)
    server.daemon_threads, server.service = True, Service()
    threading.Thread(target=exit_with_parent, daemon=True).start()
    print("LISTENING %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
