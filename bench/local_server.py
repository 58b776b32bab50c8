"""The built program's local server measured from outside, on 127.0.0.1: launch to the port
listening, GET /v1/hello against nginx, 10,000 parked GET /v1/inbox, and a 64 MiB POST /v1/luts
through to the file written. Each program runs with a throwaway home, Resolve's folder in a
temporary folder, the cloud at a closed port and no D-Bus, so nothing leaves the machine.

Usage: local_server.py BUILD_DIR   (see bench/local_server.sh, which checks the tools first)
Prints a table, then one "figure<TAB>name<TAB>value" line per figure for scripts/bench.sh.
"""
import ctypes
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1]
PROGRAM = os.path.join(BUILD, "tonewharf")
CLIENT = os.path.join(BUILD, "bench", "parked_inbox_client")
BARE_SERVER = os.path.join(BUILD, "bench", "bare_answer_server")
WRK_DURATION = os.environ.get("WRK_DURATION", "10s")
PARKED = int(os.environ.get("PARKED", "10000"))
LAUNCHES = int(os.environ.get("LAUNCHES", "10"))
HOST = "127.0.0.1"
BODY_BYTES = 64 << 20
HELLO = b"GET /v1/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


LIBC = ctypes.CDLL(None, use_errno=True)
SYS_PIDFD_GETFD = 438


def listening_port(pidfd, pid):
    """The TCP port the process listens on, or None. Its sockets are looked at through copies of
    their descriptors: /proc/net/tcp lists every connection of the machine, and after a run of
    wrk its tens of thousands of closed ones take longer to read than the program takes to start."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return None
    for fd in fds:
        try:
            if not os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:["):
                continue
        except OSError:
            continue
        copy = LIBC.syscall(SYS_PIDFD_GETFD, pidfd, int(fd), 0)
        if copy < 0:
            continue
        with socket.socket(fileno=copy) as s:
            if s.family in (socket.AF_INET, socket.AF_INET6) and s.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
                return s.getsockname()[1]
    return None


class Program:
    """The built program in a throwaway home; `started` is when it was launched (monotonic)."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="tonewharf-bench-")
        self.lut = os.path.join(self.work, "resolve", "LUT", "Tonewharf")
        self.inbox = os.path.join(self.lut, "To TINTARA")
        home = os.path.join(self.work, "home")
        runtime = os.path.join(self.work, "runtime")
        os.makedirs(self.inbox)
        os.makedirs(home)
        os.makedirs(runtime, mode=0o700)
        nowhere = f"unix:path={runtime}/no-bus"
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                   XDG_CACHE_HOME=f"{home}/.cache", XDG_STATE_HOME=f"{home}/.local/state", XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM="offscreen", TONEWHARF_CLOUD_URL="http://127.0.0.1:9",
                   TONEWHARF_RESOLVE_DIR=os.path.join(self.work, "resolve"), TONEWHARF_LISTEN_ADDRESS=HOST,
                   DBUS_SYSTEM_BUS_ADDRESS=nowhere, DBUS_SESSION_BUS_ADDRESS=nowhere)
        self.started = time.monotonic()
        self.process = subprocess.Popen([PROGRAM], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pidfd = os.pidfd_open(self.process.pid)
        self.port = None
        while self.port is None:
            self.port = listening_port(pidfd, self.process.pid)
            if self.port is None:
                if self.process.poll() is not None or time.monotonic() - self.started > 10:
                    self.stop()
                    raise SystemExit("the program did not listen")
                time.sleep(0.0005)
        self.listening = time.monotonic()
        os.close(pidfd)

    def status_kb(self, field):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise SystemExit(f"no {field} for the program")

    def settle(self):
        """The resident memory once it has stopped moving for a second."""
        last, stable = -1, 0
        while stable < 5:
            time.sleep(0.2)
            now = self.status_kb("VmRSS")
            stable = stable + 1 if now == last else 0
            last = now
        return last

    def children(self):
        found = []
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == self.process.pid:
                        found.append(entry)
            except (OSError, ValueError, IndexError):
                pass
        return found

    def stop(self):
        # The bridge's python3 ends once the program has gone; the next launch must not share the
        # processors with it.
        children = self.children()
        self.process.terminate()
        self.process.wait()
        deadline = time.monotonic() + 10
        while any(os.path.exists(f"/proc/{child}") for child in children) and time.monotonic() < deadline:
            time.sleep(0.01)
        shutil.rmtree(self.work)


def exchange(port, raw, timeout=60):
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(raw)
        answer = bytearray()
        while chunk := s.recv(1 << 16):
            answer += chunk
        return bytes(answer)


def body_of(answer):
    return answer.split(b"\r\n\r\n", 1)[1]


def launch():
    """Launch to the port listening, and to the first hello answered."""
    listen_ms, hello_ms = [], []
    for _ in range(LAUNCHES):
        program = Program()
        try:
            listen_ms.append((program.listening - program.started) * 1000)
            answer = exchange(program.port, HELLO)
            hello_ms.append((time.monotonic() - program.started) * 1000)
        finally:
            program.stop()
        if b'"app":"Tonewharf"' not in answer:
            raise SystemExit("no hello after the launch: %r" % answer)
    report(f"launch (offscreen) to the port listening, median of {LAUNCHES}",
           f"{statistics.median(listen_ms):.0f} ms ({', '.join(f'{t:.0f}' for t in listen_ms)})",
           launch_listen_ms=statistics.median(listen_ms))
    report("launch to the first GET /v1/hello answered, median", f"{statistics.median(hello_ms):.0f} ms",
           launch_hello_ms=statistics.median(hello_ms))


def requests_per_second(url):
    out = subprocess.run(["wrk", "-t2", "-c64", f"-d{WRK_DURATION}", "-H", "Connection: close", url],
                         check=True, capture_output=True, text=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        print(f"wrk saw errors from {url}:\n{out}", file=sys.stderr)
    return float(next(line.split()[1] for line in out.splitlines() if line.startswith("Requests/sec:")))


def hello():
    """GET /v1/hello against nginx answering the same body, one worker, no keep-alive."""
    program = Program()
    nginx_dir = tempfile.mkdtemp(prefix="tonewharf-nginx-")
    nginx = None
    try:
        body = body_of(exchange(program.port, HELLO)).decode()
        with socket.socket() as probe:
            probe.bind((HOST, 0))
            nginx_port = probe.getsockname()[1]
        os.makedirs(os.path.join(nginx_dir, "logs"))
        with open(os.path.join(nginx_dir, "nginx.conf"), "w") as conf:
            temp = " ".join(f"{kind}_temp_path {nginx_dir}/{kind};"
                            for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
            conf.write(f"""worker_processes 1; daemon off; pid {nginx_dir}/nginx.pid; error_log {nginx_dir}/logs/error.log;
events {{ worker_connections 4096; }}
http {{ access_log off; keepalive_timeout 0; {temp}
    server {{ listen {HOST}:{nginx_port}; location / {{ default_type application/json; return 200 '{body}'; }} }} }}
""")
        nginx = subprocess.Popen(["nginx", "-p", nginx_dir, "-c", os.path.join(nginx_dir, "nginx.conf")])
        for _ in range(200):
            try:
                if body_of(exchange(nginx_port, HELLO)).decode() == body:
                    break
            except OSError:
                time.sleep(0.05)
        else:
            raise SystemExit("nginx does not answer the same body")
        # Alternating rounds, the better of each: a neighbour's burst on shared cores decides neither.
        ours = theirs = 0.0
        for _ in range(2):
            ours = max(ours, requests_per_second(f"http://{HOST}:{program.port}/v1/hello"))
            theirs = max(theirs, requests_per_second(f"http://{HOST}:{nginx_port}/v1/hello"))
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait()
        shutil.rmtree(nginx_dir)
        program.stop()
    report("GET /v1/hello, 64 clients, Connection: close: the program", f"{ours:.0f} req/s", hello_ours=ours)
    report("the same body from nginx, 1 worker, keepalive_timeout 0", f"{theirs:.0f} req/s", hello_nginx=theirs)
    report("the program / nginx", f"{ours / theirs:.2f}")


def park(port, seq):
    """The parked client, once its COUNT requests are all sent."""
    client = subprocess.Popen([CLIENT, str(port), str(PARKED), str(seq)], stdout=subprocess.PIPE, text=True)
    if client.stdout.readline().strip() != "parked":
        raise SystemExit("the parked client failed")
    return client


def answered(client):
    """Milliseconds from the first answer to the last, once every one carried the new listing."""
    result = client.stdout.readline().split()
    if client.wait() != 0 or len(result) != 6 or result[1] != result[3]:
        raise SystemExit(f"parked requests not all answered with the new listing: {result}")
    return float(result[5])


def parked():
    """Parked long-polls: the memory each costs, and the answers after one change of the inbox,
    against the floor: a bare loop that sends the same answer to as many waiting connections."""
    program = Program()
    try:
        listing = body_of(exchange(program.port, b"GET /v1/inbox HTTP/1.1\r\n\r\n"))
        seq = int(listing.split(b'"seq":')[1].split(b"}")[0].split(b",")[0])
        base = program.settle()
        client = park(program.port, seq)
        parked_kb = program.settle()
        with open(os.path.join(program.inbox, "Landed.cube"), "w") as landed:
            landed.write("LUT_3D_SIZE 2\n" + "0.5 0.5 0.5\n" * 8)
        ours = answered(client)
        answer = exchange(program.port, b"GET /v1/inbox HTTP/1.1\r\n\r\n")
    finally:
        program.stop()
    with tempfile.NamedTemporaryFile() as answer_file:
        answer_file.write(answer)
        answer_file.flush()
        bare = subprocess.Popen([BARE_SERVER, str(PARKED), answer_file.name], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        port = int(bare.stdout.readline().split()[1])
        client = park(port, seq)
        time.sleep(1)
        bare.communicate("go\n")
        floor = answered(client)
    each = (parked_kb - base) * 1024 / PARKED
    report(f"{PARKED} parked GET /v1/inbox: memory each", f"{each:.0f} bytes", parked_bytes=each)
    report("  from the first answer to the last after one change", f"{ours:.0f} ms", parked_first_to_last_ms=ours)
    report("  the same answers from a bare send-and-close loop (the floor)", f"{floor:.0f} ms",
           parked_floor_ms=floor)


def large():
    """One 64 MiB look, as Resolve writes cubes (a line per lattice point), through to the file."""
    program = Program()
    try:
        prefix, suffix, line = b'{"name":"Big","cube":"', b'"}', b"0.125000 0.250000 0.500000\\n"
        room = BODY_BYTES - len(prefix) - len(suffix)
        cube = line * (room // len(line)) + b"x" * (room % len(line))
        expected = cube.replace(b"\\n", b"\n")
        base = program.settle()
        answer = exchange(program.port, b"POST /v1/luts HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % BODY_BYTES
                          + prefix + cube + suffix)
        del cube
        peak = program.status_kb("VmHWM")
        with open(os.path.join(program.lut, "Big.cube"), "rb") as written:
            whole = written.read() == expected
    finally:
        program.stop()
    if not answer.endswith(b'{"ok":true}') or not whole:
        raise SystemExit("the 64 MiB look was not written whole: %r" % answer[:200])
    growth = (peak - base) * 1024 / BODY_BYTES
    report("POST /v1/luts of 64 MiB to the file: peak RSS growth / body", f"{growth:.2f} (peak {peak / 1024:.0f} MiB)",
           large_post_growth=growth)


rows, figures = [], {}


def report(label, text, **figure):
    rows.append((label, text))
    figures.update(figure)


PARTS = {"launch": launch, "hello": hello, "parked": parked, "large": large}
for part in os.environ.get("PARTS", ",".join(PARTS)).split(","):
    PARTS[part]()
print(f"\n{'measurement':<64} result")
for label, text in rows:
    print(f"{label:<64} {text}")
for name, value in figures.items():
    print(f"figure\t{name}\t{value:.6g}")
