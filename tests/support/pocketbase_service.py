#!/usr/bin/env python3
"""A PocketBase-compatible cloud service for the tests (Python standard library only).

Start:  python3 pocketbase_service.py --port 0
It binds 127.0.0.1, prints one line "LISTENING <port>" and serves until killed.

It answers the requests Tonewharf makes the way PocketBase does: the "users" auth collection
(auth-with-password, auth-refresh), the record collections tintara_luts, tintara_looks,
tintara_projects and tintara_shots (list, view, create and update with multipart or JSON,
delete), stored file names with a random 10-character suffix, file download, PocketBase's error
bodies and the realtime stream (/api/realtime).

Everything under /_test/ is the control API used by the tests; it is never recorded:

  POST   /_test/users                  {"email","password"} -> {"id"}
  POST   /_test/records                {"collection","fields",("fileName","fileBase64")} -> record
  PATCH  /_test/records/<c>/<id>       {fields} (or {"fields","fileName","fileBase64"}) -> record
  DELETE /_test/records/<c>/<id>       -> the deleted record
  GET    /_test/requests               -> [{"method","path","query","headers","bodyBase64"}]
  DELETE /_test/requests
  POST   /_test/fail                   {"method","path","status","body"|"bodyBase64","contentType",
                                        "count","stall","close"}
  DELETE /_test/fail
  POST   /_test/realtime/script        {"streams":[{"chunks":[{"base64","delayMs"}],"close"} |
                                                   {"closeImmediately":true}]}
  POST   /_test/realtime/send          {"base64"}
  POST   /_test/realtime/cut
  GET    /_test/realtime/clients       -> [{"clientId","subscriptions","open"}]
  GET    /_test/realtime/opens         -> {"count","times"}

Note for "close" failures: Qt's HTTP client resends a request once or twice when the server
closes the connection before any byte of an answer, so give such a failure a count of 3 or more.
"""

import argparse
import base64
import datetime
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

ID_ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789"
RECORD_COLLECTIONS = ("tintara_luts", "tintara_looks", "tintara_projects", "tintara_shots")
COLLECTION_IDS = {
    "users": "_pb_users_auth_",
    "tintara_luts": "pbc_tintaraluts01",
    "tintara_looks": "pbc_tintaralooks1",
    "tintara_projects": "pbc_tintaraproj01",
    "tintara_shots": "pbc_tintarashots1",
}
# The schema of the one collection whose fields Tonewharf reads; other collections take any field.
LUT_DEFAULTS = {
    "owner": "",
    "name": "",
    "file": "",
    "size": 0,
    "resolve": False,
    "source": "",
    "look": None,
}

NOT_FOUND = "The requested resource wasn't found."


def random_id(length=15):
    return "".join(secrets.choice(ID_ALPHABET) for _ in range(length))


def now_text():
    stamp = datetime.datetime.now(datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%d %H:%M:%S.") + "%03dZ" % (stamp.microsecond // 1000)


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def error_body(code, message, data=None):
    return {"code": code, "message": message, "data": data or {}}


def stored_file_name(original):
    """PocketBase's stored name: the sanitised base name, "_", ten random characters, extension."""
    original = original.replace("\\", "/").rsplit("/", 1)[-1]
    dot = original.rfind(".")
    base, ext = (original[:dot], original[dot:]) if dot > 0 else (original, "")
    ext = re.sub(r"[^\w.*\-+=#]+", "", ext).lower()
    base = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", base)
    base = re.sub(r"[^A-Za-z0-9]+", "_", base).strip("_").lower()
    if len(base) < 3:
        base = base + random_id(3) if base else random_id(8)
    return "%s_%s%s" % (base, random_id(10), ext)


class ApiError(Exception):
    def __init__(self, status, message, data=None):
        super().__init__(message)
        self.status = status
        self.body = error_body(status, message, data)


def field_error(status, message, field, code, text):
    return ApiError(status, message, {field: {"code": code, "message": text}})


def parse_multipart(content_type, body):
    """Returns (fields, files) where files maps a field name to (file name, bytes)."""
    match = re.search(r'boundary="?([^";]+)"?', content_type)
    if not match:
        raise ApiError(400, "Failed to load the submitted data due to invalid formatting.")
    delimiter = b"--" + match.group(1).encode("latin-1")
    fields, files = {}, {}
    pieces = body.split(delimiter)
    if len(pieces) < 3 or not pieces[-1].startswith(b"--"):
        raise ApiError(400, "Failed to load the submitted data due to invalid formatting.")
    for piece in pieces[1:-1]:
        if not piece.startswith(b"\r\n") or not piece.endswith(b"\r\n"):
            raise ApiError(400, "Failed to load the submitted data due to invalid formatting.")
        piece = piece[2:-2]
        head, separator, content = piece.partition(b"\r\n\r\n")
        if not separator:
            raise ApiError(400, "Failed to load the submitted data due to invalid formatting.")
        headers = {}
        for line in head.split(b"\r\n"):
            name, _, value = line.decode("utf-8", "replace").partition(":")
            headers[name.strip().lower()] = value.strip()
        disposition = headers.get("content-disposition", "")
        name_match = re.search(r'(?:^|;)\s*name="([^"]*)"', disposition)
        if not name_match:
            continue
        file_match = re.search(r'filename="([^"]*)"', disposition)
        if file_match:
            files[name_match.group(1)] = (file_match.group(1), content)
        else:
            fields[name_match.group(1)] = content.decode("utf-8", "replace")
    return fields, files


class Service:
    def __init__(self):
        self.lock = threading.Lock()
        self.users = {}  # id -> user record with "password"
        self.tokens = {}  # token -> user id
        self.records = {name: {} for name in RECORD_COLLECTIONS}  # collection -> id -> record
        self.files = {}  # (collection, id, stored name) -> bytes
        self.requests = []
        self.failures = []
        self.scripts = []
        self.streams = []  # every open stream: Stream objects
        self.clients = {}  # clientId -> Stream (normal streams only)
        self.opens = []

    # Users and tokens

    def create_user(self, email, password):
        with self.lock:
            for user in self.users.values():
                if user["email"].lower() == email.lower():
                    raise field_error(400, "Failed to create record.", "email", "validation_not_unique",
                                      "Value must be unique.")
            user_id = random_id()
            stamp = now_text()
            self.users[user_id] = {
                "collectionId": COLLECTION_IDS["users"],
                "collectionName": "users",
                "id": user_id,
                "email": email,
                "emailVisibility": False,
                "verified": True,
                "created": stamp,
                "updated": stamp,
                "password": password,
            }
            return user_id

    def public_user(self, user):
        return {key: value for key, value in user.items() if key != "password"}

    def issue_token(self, user_id):
        token = "pbt." + secrets.token_urlsafe(24)
        with self.lock:
            self.tokens[token] = user_id
        return token

    def user_for(self, headers):
        value = headers.get("authorization", "")
        if value.startswith("Bearer "):
            value = value[len("Bearer "):]
        with self.lock:
            user_id = self.tokens.get(value.strip())
            return self.users.get(user_id) if user_id else None

    # Records

    def new_record(self, collection, record_id=None):
        stamp = now_text()
        record = {
            "collectionId": COLLECTION_IDS[collection],
            "collectionName": collection,
            "id": record_id or random_id(),
            "created": stamp,
            "updated": stamp,
        }
        if collection == "tintara_luts":
            record.update(LUT_DEFAULTS)
        return record

    def apply_fields(self, collection, record, fields, from_form):
        """Sets fields with PocketBase's conversions; raises ApiError with a field error."""
        for key, value in fields.items():
            if key in ("id", "collectionId", "collectionName", "created", "updated"):
                continue
            if collection == "tintara_luts" and key in LUT_DEFAULTS:
                record[key] = self.convert_lut_field(key, value, from_form)
            else:
                record[key] = value

    @staticmethod
    def convert_lut_field(key, value, from_form):
        if key == "size":
            if value is None or value == "":
                return 0
            if isinstance(value, bool):
                raise field_error(400, "Failed to create record.", key, "validation_invalid_number",
                                  "Must be a valid number.")
            try:
                number = float(value) if from_form else value
                if not isinstance(number, (int, float)):
                    raise ValueError
            except ValueError:
                raise field_error(400, "Failed to create record.", key, "validation_invalid_number",
                                  "Must be a valid number.") from None
            return int(number) if float(number).is_integer() else number
        if key == "resolve":
            if isinstance(value, bool):
                return value
            text = str(value).strip().lower()
            return text in ("1", "true", "t", "yes", "on")
        if key == "look":
            if from_form:
                if value == "":
                    return None
                try:
                    return json.loads(value)
                except ValueError:
                    raise field_error(400, "Failed to create record.", key, "validation_invalid_json",
                                      "Must be a valid json value.") from None
            return value
        if value is None:
            return ""
        if not isinstance(value, str):
            raise field_error(400, "Failed to create record.", key, "validation_invalid_string",
                              "Must be a string.")
        return value

    def store_file(self, collection, record, file_name, content):
        stored = stored_file_name(file_name)
        with self.lock:
            old = record.get("file")
            if old:
                self.files.pop((collection, record["id"], old), None)
            self.files[(collection, record["id"], stored)] = content
        record["file"] = stored

    def create_record(self, collection, fields, upload=None, from_form=False):
        record_id = fields.get("id") if isinstance(fields.get("id"), str) and fields.get("id") else None
        with self.lock:
            if record_id and record_id in self.records[collection]:
                raise field_error(400, "Failed to create record.", "id", "validation_not_unique",
                                  "Value must be unique.")
        record = self.new_record(collection, record_id)
        self.apply_fields(collection, record, fields, from_form)
        if collection == "tintara_luts" and not record.get("name"):
            raise field_error(400, "Failed to create record.", "name", "validation_required",
                              "Cannot be blank.")
        if upload is not None:
            self.store_file(collection, record, upload[0], upload[1])
        with self.lock:
            self.records[collection][record["id"]] = record
            snapshot = json.loads(compact(record))
        self.broadcast(collection, "create", snapshot)
        return snapshot

    def update_record(self, collection, record_id, fields, upload=None, from_form=False):
        with self.lock:
            current = self.records[collection].get(record_id)
            if current is None:
                raise ApiError(404, NOT_FOUND)
            record = json.loads(compact(current))
        try:
            self.apply_fields(collection, record, fields, from_form)
        except ApiError as error:
            error.body["message"] = "Failed to update record."
            raise
        if upload is not None:
            self.store_file(collection, record, upload[0], upload[1])
        record["updated"] = now_text()
        with self.lock:
            self.records[collection][record_id] = record
            snapshot = json.loads(compact(record))
        self.broadcast(collection, "update", snapshot)
        return snapshot

    def delete_record(self, collection, record_id):
        with self.lock:
            record = self.records[collection].pop(record_id, None)
            if record is None:
                raise ApiError(404, NOT_FOUND)
            for key in [key for key in self.files if key[0] == collection and key[1] == record_id]:
                del self.files[key]
        self.broadcast(collection, "delete", record)
        return record

    # Realtime

    def broadcast(self, collection, action, record):
        data = compact({"action": action, "record": record}).encode("utf-8")
        with self.lock:
            clients = list(self.clients.values())
        for stream in clients:
            topics = stream.subscriptions
            topic = None
            if collection in topics:
                topic = collection
            elif "%s/%s" % (collection, record.get("id")) in topics:
                topic = "%s/%s" % (collection, record.get("id"))
            elif "%s/*" % collection in topics:
                topic = collection
            if topic is not None:
                stream.push(b"id:" + stream.client_id.encode() + b"\nevent:" + topic.encode("utf-8")
                            + b"\ndata:" + data + b"\n\n")

    # Recorded requests and failures

    def record_request(self, method, path, query, headers, body):
        entry = {
            "method": method,
            "path": path,
            "query": query,
            "headers": headers,
            "bodyBase64": base64.b64encode(body).decode("ascii"),
        }
        with self.lock:
            self.requests.append(entry)

    def take_failure(self, method, path):
        with self.lock:
            for failure in self.failures:
                wanted = failure.get("method")
                if wanted and wanted.upper() != method:
                    continue
                if not path.startswith(failure.get("path", "")):
                    continue
                failure["count"] -= 1
                if failure["count"] <= 0:
                    self.failures.remove(failure)
                return failure
        return None


class Stream:
    """One open GET /api/realtime; writes happen only on its handler thread."""

    def __init__(self, client_id=None):
        self.client_id = client_id
        self.subscriptions = []
        self.open = True
        self.outbox = queue.Queue()

    def push(self, data):
        self.outbox.put(data)

    def cut(self):
        self.outbox.put(None)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "pocketbase-test"
    sys_version = ""

    def log_message(self, *args):
        pass

    @property
    def service(self):
        return self.server.service

    # Plumbing

    def read_body(self):
        length = self.headers.get("Content-Length")
        if length:
            return self.rfile.read(int(length))
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        return b""

    def send_bytes(self, status, body, content_type="application/json", extra=None):
        self.send_response(status)
        if status != 204:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if status != 204 and self.command != "HEAD":
            self.wfile.write(body)

    def send_json(self, status, value):
        self.send_bytes(status, compact(value).encode("utf-8"))

    def handle_any(self):
        parts = urlsplit(self.path)
        path, query = parts.path, parts.query
        body = self.read_body()
        if path.startswith("/_test/"):
            try:
                self.control(self.command, path, body)
            except ApiError as error:
                self.send_json(error.status, error.body)
            except (ValueError, KeyError, TypeError) as error:
                self.send_json(400, error_body(400, "Bad control request: %s" % error))
            return
        headers = {}
        for name, value in self.headers.items():
            name = name.lower()
            headers[name] = headers[name] + ", " + value if name in headers else value
        self.service.record_request(self.command, path, query, headers, body)
        failure = self.service.take_failure(self.command, path)
        if failure is not None:
            self.fail(failure)
            return
        try:
            self.api(self.command, unquote(path), parse_qs(query), headers, body)
        except ApiError as error:
            self.send_json(error.status, error.body)

    do_GET = do_POST = do_PATCH = do_DELETE = do_PUT = handle_any

    def fail(self, failure):
        if failure.get("stall"):
            self.hold_until_peer_closes()
            self.close_connection = True
            return
        if failure.get("close"):
            self.hang_up()
            return
        if "bodyBase64" in failure:
            body = base64.b64decode(failure["bodyBase64"])
        else:
            body = failure.get("body", "").encode("utf-8")
        self.send_bytes(int(failure.get("status", 500)), body,
                        failure.get("contentType") or "application/json")

    def hang_up(self):
        """Ends the connection without an answer."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def peer_closed(self, wait):
        """True once the client has closed its end (whatever else it sends is read and dropped)."""
        readable, _, _ = select.select([self.connection], [], [], wait)
        if not readable:
            return False
        try:
            return not self.connection.recv(65536)
        except OSError:
            return True

    def hold_until_peer_closes(self):
        while not self.server.stopping.is_set():
            if self.peer_closed(0.5):
                return

    # The PocketBase API

    def api(self, method, path, query, headers, body):
        segments = [segment for segment in path.split("/") if segment]
        if segments[:1] != ["api"]:
            raise ApiError(404, NOT_FOUND)
        rest = segments[1:]
        if rest == ["realtime"]:
            if method == "GET":
                self.realtime_stream()
                return
            if method == "POST":
                self.realtime_subscribe(body)
                return
        if rest[:2] == ["collections", "users"] and len(rest) == 3 and method == "POST":
            if rest[2] == "auth-with-password":
                self.auth_with_password(headers, body)
                return
            if rest[2] == "auth-refresh":
                self.auth_refresh(headers)
                return
        if len(rest) >= 3 and rest[0] == "collections" and rest[2] == "records":
            collection = rest[1]
            if collection not in RECORD_COLLECTIONS:
                raise ApiError(404, "Missing collection context.")
            if len(rest) == 3 and method == "GET":
                self.list_records(collection, query)
                return
            if len(rest) == 3 and method == "POST":
                fields, upload, from_form = self.submitted(headers, body)
                self.send_json(200, self.service.create_record(collection, fields, upload, from_form))
                return
            if len(rest) == 4:
                record_id = rest[3]
                if method == "GET":
                    with self.service.lock:
                        record = self.service.records[collection].get(record_id)
                        if record is None:
                            raise ApiError(404, NOT_FOUND)
                        snapshot = json.loads(compact(record))
                    self.send_json(200, snapshot)
                    return
                if method == "PATCH":
                    fields, upload, from_form = self.submitted(headers, body)
                    self.send_json(200, self.service.update_record(collection, record_id, fields, upload,
                                                                   from_form))
                    return
                if method == "DELETE":
                    self.service.delete_record(collection, record_id)
                    self.send_bytes(204, b"")
                    return
        if len(rest) == 4 and rest[0] == "files" and method == "GET":
            with self.service.lock:
                content = self.service.files.get((rest[1], rest[2], rest[3]))
            if content is None:
                raise ApiError(404, NOT_FOUND)
            self.send_bytes(200, content, "application/octet-stream")
            return
        raise ApiError(404, NOT_FOUND)

    def submitted(self, headers, body):
        content_type = headers.get("content-type", "")
        if content_type.lower().startswith("multipart/form-data"):
            fields, files = parse_multipart(content_type, body)
            return fields, files.get("file"), True
        if not body.strip():
            return {}, None, False
        try:
            value = json.loads(body.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            raise ApiError(400, "Failed to load the submitted data due to invalid formatting.") from None
        if not isinstance(value, dict):
            raise ApiError(400, "Failed to load the submitted data due to invalid formatting.")
        return value, None, False

    def auth_with_password(self, headers, body):
        fields, _, _ = self.submitted(headers, body)
        identity, password = fields.get("identity"), fields.get("password")
        missing = {}
        for key, value in (("identity", identity), ("password", password)):
            if not isinstance(value, str) or value == "":
                missing[key] = {"code": "validation_required", "message": "Cannot be blank."}
        if missing:
            raise ApiError(400, "An error occurred while validating the submitted data.", missing)
        with self.service.lock:
            user = next((user for user in self.service.users.values()
                         if user["email"].lower() == identity.lower() and user["password"] == password), None)
        if user is None:
            raise ApiError(400, "Failed to authenticate.")
        token = self.service.issue_token(user["id"])
        self.send_json(200, {"token": token, "record": self.service.public_user(user)})

    def auth_refresh(self, headers):
        user = self.service.user_for(headers)
        if user is None:
            raise ApiError(401, "The request requires valid record authorization token.")
        token = self.service.issue_token(user["id"])
        self.send_json(200, {"token": token, "record": self.service.public_user(user)})

    def list_records(self, collection, query):
        try:
            page = max(1, int(query.get("page", ["1"])[0]))
            per_page = min(1000, max(1, int(query.get("perPage", ["30"])[0])))
        except ValueError:
            raise ApiError(400, "Something went wrong while processing your request.") from None
        with self.service.lock:
            items = [json.loads(compact(record)) for record in self.service.records[collection].values()]
        for key in reversed([key.strip() for key in query.get("sort", [""])[0].split(",") if key.strip()]):
            descending = key.startswith("-")
            key = key.lstrip("+-")
            items.sort(key=lambda record: str(record.get(key, "")), reverse=descending)
        total = len(items)
        self.send_json(200, {
            "page": page,
            "perPage": per_page,
            "totalItems": total,
            "totalPages": (total + per_page - 1) // per_page,
            "items": items[(page - 1) * per_page:page * per_page],
        })

    def realtime_subscribe(self, body):
        try:
            value = json.loads(body.decode("utf-8"))
            client_id = value["clientId"]
            subscriptions = value.get("subscriptions") or []
            if not isinstance(client_id, str) or not isinstance(subscriptions, list):
                raise ValueError
        except (ValueError, KeyError, TypeError, UnicodeDecodeError, AttributeError):
            raise field_error(400, "An error occurred while validating the submitted data.", "clientId",
                              "validation_required", "Cannot be blank.") from None
        with self.service.lock:
            stream = self.service.clients.get(client_id)
            if stream is None:
                raise ApiError(404, "Missing or invalid client id.")
            stream.subscriptions = [str(topic) for topic in subscriptions]
        self.send_bytes(204, b"")

    def start_event_stream(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True

    def write_raw(self, data):
        self.wfile.write(data)
        self.wfile.flush()

    def realtime_stream(self):
        service = self.service
        with service.lock:
            service.opens.append(time.monotonic())
            script = service.scripts.pop(0) if service.scripts else None
        if script is not None and script.get("closeImmediately"):
            self.hang_up()
            return
        stream = Stream() if script is not None else Stream(random_id(40))
        with service.lock:
            service.streams.append(stream)
            if stream.client_id:
                service.clients[stream.client_id] = stream
        try:
            self.start_event_stream()
            if script is None:
                self.write_raw(b"id:%s\nevent:PB_CONNECT\ndata:%s\n\n"
                               % (stream.client_id.encode(), compact({"clientId": stream.client_id}).encode()))
            else:
                for chunk in script.get("chunks", []):
                    deadline = time.monotonic() + chunk.get("delayMs", 0) / 1000.0
                    if self.wait_for_cut(stream, deadline):
                        return
                    self.write_raw(base64.b64decode(chunk.get("base64", "")))
                if script.get("close"):
                    return
            self.pump(stream)
        except OSError:
            pass
        finally:
            stream.open = False
            with service.lock:
                if stream in service.streams:
                    service.streams.remove(stream)
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def wait_for_cut(self, stream, deadline):
        """Waits until the deadline; a cut during the wait answers True. Sent bytes are held back."""
        held = []
        cut = False
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            try:
                item = stream.outbox.get(timeout=remaining)
            except queue.Empty:
                break
            if item is None:
                cut = True
                break
            held.append(item)
        for item in held:
            stream.outbox.put(item)
        return cut

    def pump(self, stream):
        while not self.server.stopping.is_set():
            try:
                item = stream.outbox.get(timeout=0.5)
            except queue.Empty:
                if self.peer_closed(0):
                    return
                continue
            if item is None:
                return
            self.write_raw(item)

    # The control API

    def control(self, method, path, body):
        service = self.service
        value = json.loads(body.decode("utf-8")) if body.strip() else None
        segments = [segment for segment in path.split("/") if segment][1:]
        if segments == ["users"] and method == "POST":
            self.send_json(200, {"id": service.create_user(value["email"], value["password"])})
        elif segments == ["records"] and method == "POST":
            collection = value["collection"]
            if collection not in RECORD_COLLECTIONS:
                raise ApiError(404, "Missing collection context.")
            upload = None
            if value.get("fileName") is not None:
                upload = (value["fileName"], base64.b64decode(value.get("fileBase64", "")))
            self.send_json(200, service.create_record(collection, value.get("fields") or {}, upload))
        elif len(segments) == 3 and segments[0] == "records" and method in ("PATCH", "DELETE"):
            collection, record_id = segments[1], unquote(segments[2])
            if collection not in RECORD_COLLECTIONS:
                raise ApiError(404, "Missing collection context.")
            if method == "DELETE":
                self.send_json(200, service.delete_record(collection, record_id))
                return
            fields, upload = value or {}, None
            if isinstance(fields.get("fields"), dict):
                if fields.get("fileName") is not None:
                    upload = (fields["fileName"], base64.b64decode(fields.get("fileBase64", "")))
                fields = fields["fields"]
            self.send_json(200, service.update_record(collection, record_id, fields, upload))
        elif segments == ["requests"] and method == "GET":
            with service.lock:
                self.send_json(200, list(service.requests))
        elif segments == ["requests"] and method == "DELETE":
            with service.lock:
                service.requests.clear()
            self.send_json(200, {})
        elif segments == ["fail"] and method == "POST":
            failure = dict(value)
            failure["count"] = int(failure.get("count", 1))
            with service.lock:
                service.failures.append(failure)
            self.send_json(200, {})
        elif segments == ["fail"] and method == "DELETE":
            with service.lock:
                service.failures.clear()
            self.send_json(200, {})
        elif segments == ["realtime", "script"] and method == "POST":
            with service.lock:
                service.scripts.extend(value.get("streams", []))
            self.send_json(200, {})
        elif segments == ["realtime", "send"] and method == "POST":
            data = base64.b64decode(value.get("base64", ""))
            with service.lock:
                streams = list(service.streams)
            for stream in streams:
                stream.push(data)
            self.send_json(200, {"streams": len(streams)})
        elif segments == ["realtime", "cut"] and method == "POST":
            with service.lock:
                streams = list(service.streams)
            for stream in streams:
                stream.cut()
            self.send_json(200, {"streams": len(streams)})
        elif segments == ["realtime", "clients"] and method == "GET":
            with service.lock:
                clients = [{"clientId": stream.client_id, "subscriptions": list(stream.subscriptions),
                            "open": stream.open} for stream in service.clients.values()]
            self.send_json(200, clients)
        elif segments == ["realtime", "opens"] and method == "GET":
            with service.lock:
                self.send_json(200, {"count": len(service.opens), "times": list(service.opens)})
        else:
            raise ApiError(404, NOT_FOUND)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port):
        super().__init__(("127.0.0.1", port), Handler)
        self.service = Service()
        self.stopping = threading.Event()


def exit_with_parent():
    """A test that crashes cannot kill its service; the service notices and goes too."""
    parent = os.getppid()
    while True:
        time.sleep(0.5)
        if os.getppid() != parent:
            os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    arguments = parser.parse_args()
    server = Server(arguments.port)
    threading.Thread(target=exit_with_parent, daemon=True).start()
    sys.stdout.write("LISTENING %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()


if __name__ == "__main__":
    main()
