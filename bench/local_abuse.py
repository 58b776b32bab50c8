"""The abuse run of bench/local_abuse.sh: hostile and buggy peers against the running program on
127.0.0.1, phase after phase, while one well-behaved client keeps asking. Prints one table.

Usage: local_abuse.py PID PORT INBOX LUT_FOLDER (the program must be running and listening).
"""
import os
import resource
import selectors
import socket
import sys
import threading
import time

PID, PORT, INBOX, LUT = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
HOST = "127.0.0.1"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PARKED = int(os.environ.get("PARKED", "10000"))
PHASE_SECONDS = float(os.environ.get("PHASE_SECONDS", "10"))

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def status_kb(field):
    with open(f"/proc/{PID}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def server_thread():
    # Qt names the thread after the server's queue, cut to the 15 characters Linux keeps.
    for tid in os.listdir(f"/proc/{PID}/task"):
        with open(f"/proc/{PID}/task/{tid}/comm") as f:
            if f.read().startswith("com.quillfen.to"):
                return tid
    raise SystemExit("the server's thread was not found")


SERVER_TID = server_thread()


def server_cpu():
    with open(f"/proc/{PID}/task/{SERVER_TID}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


class Sampler(threading.Thread):
    """The program's resident memory and descriptors, the most of each per phase."""

    def __init__(self):
        super().__init__(daemon=True)
        self.phase = "idle program"
        self.peaks = {}
        self.done = False

    def run(self):
        while not self.done:
            rss = status_kb("VmRSS")
            try:
                fds = len(os.listdir(f"/proc/{PID}/fd"))
            except OSError:
                fds = 0
            rss_peak, fd_peak = self.peaks.get(self.phase, (0, 0))
            self.peaks[self.phase] = (max(rss_peak, rss), max(fd_peak, fds))
            time.sleep(0.2)


def request(raw, timeout=60):
    """One request on its own connection: the whole answer, or None."""
    s = socket.create_connection((HOST, PORT), timeout=timeout)
    try:
        s.sendall(raw)
        answer = bytearray()
        while chunk := s.recv(1 << 16):
            answer += chunk
        return bytes(answer)
    except OSError:
        return None
    finally:
        s.close()


def look_request(name, cube):
    body = b'{"name":"%s","cube":"%s"}' % (name.encode(), cube)
    return b"POST /v1/luts HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body


SMALL = open(os.path.join(INBOX, "Small.cube"), "rb").read()


class WellBehaved(threading.Thread):
    """An iPad that says hello, sends a small look, lists the inbox and fetches a small file, in
    turn, one request at a time."""

    def __init__(self, sampler):
        super().__init__(daemon=True)
        self.sampler = sampler
        self.results = {}  # phase: [(ok, seconds)]
        self.done = False

    def run(self):
        n = 0
        while not self.done:
            kind = n % 4
            n += 1
            if kind == 0:
                raw, want = b"GET /v1/hello HTTP/1.1\r\n\r\n", b'"app":"Tonewharf"'
            elif kind == 1:
                raw, want = look_request(f"Steady {n}", b"LUT_3D_SIZE 2\\n" + b"0 0 0\\n" * 8), b'{"ok":true}'
            elif kind == 2:
                raw, want = b"GET /v1/inbox HTTP/1.1\r\n\r\n", b'"seq":'
            else:
                raw, want = b"GET /v1/inbox/Small.cube HTTP/1.1\r\n\r\n", b"\r\n\r\n" + SMALL
            phase = self.sampler.phase
            start = time.monotonic()
            answer = request(raw)
            took = time.monotonic() - start
            ok = answer is not None and answer.startswith(b"HTTP/1.1 200 OK") and want in answer
            self.results.setdefault(phase, []).append((ok, took))
            time.sleep(0.1)


def connect_many(count, payload=b"", rcvbuf=0):
    """Non-blocking connections, each sent `payload`; the ones that connected within a few seconds."""
    sockets = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.setblocking(False)
        try:
            s.connect_ex((HOST, PORT))
        except OSError:
            s.close()
            break
        sockets.append(s)
    selector = selectors.DefaultSelector()
    for s in sockets:
        selector.register(s, selectors.EVENT_WRITE)
    connected, deadline = [], time.monotonic() + 5
    while len(connected) < len(sockets) and time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.5):
            selector.unregister(key.fileobj)
            if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                connected.append(key.fileobj)
                if payload:
                    try:
                        key.fileobj.send(payload)
                    except OSError:
                        pass
            else:
                key.fileobj.close()
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    selector.close()
    return connected


def connect_each(count, payload, rcvbuf=0):
    """Connections made one after the other, each sending `payload` at once, as an iPad does."""
    sockets = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(30)
        s.connect((HOST, PORT))
        s.sendall(payload)
        s.setblocking(False)
        sockets.append(s)
    return sockets


def closed_by_server(s):
    try:
        return s.recv(1 << 16, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def close_all(sockets):
    for s in sockets:
        s.close()


def wait_phase(seconds, work=None):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if work:
            work()
        time.sleep(0.05)


rows = []


def tcp_memory_mib():
    # Socket buffers are the kernel's, not the program's: shown beside its resident memory.
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1]) * os.sysconf("SC_PAGE_SIZE") / (1 << 20)
    return 0


def phase(sampler, name):
    sampler.phase = name
    return server_cpu()


def end_phase(name, cpu_before, note):
    rows.append((name, server_cpu() - cpu_before, note))


sampler = Sampler()
sampler.start()
time.sleep(1)
client = WellBehaved(sampler)
client.start()
time.sleep(2)
cpu_start = server_cpu()

# 1. Idle connections up to the descriptor limit: the server keeps to its budget, the oldest idle
# ones make room, and nothing spins while it waits.
name = "idle connections up to the limit"
cpu = phase(sampler, name)
idle = connect_many(hard - 500)
wait_phase(PHASE_SECONDS)
evicted = sum(closed_by_server(s) for s in idle)
close_all(idle)
end_phase(name, cpu, f"{len(idle)} connected, {evicted} closed by the server")

# 2. Slow heads and bodies: heads trickled a byte every 2 s, 20 bodies of 32 MiB sent but their
# last byte, 20 bodies trickled a byte every 5 s.
name = "slow heads, stalled and trickled bodies"
cpu = phase(sampler, name)
heads = connect_many(1000, b"GET /v1/hello HTTP/1.1\r\nX-Slow: ")
big = 32 << 20
stalled = connect_many(20, b"POST /v1/luts HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % big)
trickled = connect_many(20, b"POST /v1/luts HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n{")
body = memoryview(b"x" * (big - 1))
sent = {s: 0 for s in stalled}
ticks = {"heads": 0, "bodies": 0}


def push():
    for s in stalled:
        if sent[s] < len(body):
            try:
                sent[s] += s.send(body[sent[s]:sent[s] + (1 << 20)])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                sent[s] = len(body)
    now = time.monotonic()
    for group, every, byte in (("heads", 2, b"a"), ("bodies", 5, b"x")):
        if now - ticks[group] >= every:
            ticks[group] = now
            for s in heads if group == "heads" else trickled:
                try:
                    s.send(byte)
                except OSError:
                    pass


wait_phase(PHASE_SECONDS * 1.5, push)
held = sum(sent.values()) >> 20
close_all(heads + stalled + trickled)
end_phase(name, cpu, f"{len(heads)} heads, {held} MiB of stalled bodies sent")

# 3. Half-closes: large looks sent whole, then the sending side shut (half of them, which wait for
# the answer) or the connection closed at once.
name = "7 MiB looks sent, then shut or closed"
cpu = phase(sampler, name)
cube = b"x" * (7 << 20)
answers = []


def half_close(i):
    s = socket.create_connection((HOST, PORT))
    s.sendall(look_request(f"Half {i}", cube))
    if i % 2:
        s.close()
        return
    s.shutdown(socket.SHUT_WR)
    answer = bytearray()
    while chunk := s.recv(1 << 16):
        answer += chunk
    answers.append(answer.endswith(b'{"ok":true}'))
    s.close()


threads = [threading.Thread(target=half_close, args=(i,)) for i in range(20)]
for t in threads:
    t.start()
for t in threads:
    t.join()
wait_phase(3)
landed = sum(os.path.exists(os.path.join(LUT, f"Half {i}.cube")) for i in range(20))
end_phase(name, cpu, f"{landed} of 20 written, {sum(answers)} of 10 answered ok")

# 4. Slow readers: 400 GET of the 7 MiB inbox file that never read a byte.
name = "400 readers of a 7 MiB file that never read"
cpu = phase(sampler, name)
readers = connect_each(400, b"GET /v1/inbox/Big.cube HTTP/1.1\r\n\r\n", rcvbuf=16384)
wait_phase(PHASE_SECONDS)
kernel = tcp_memory_mib()
close_all(readers)
end_phase(name, cpu, f"{len(readers)} readers; the system's TCP buffers {kernel:.0f} MiB")

# 5. Parked long-polls, answered by a change of the inbox.
name = f"{PARKED} parked GET /v1/inbox"
cpu = phase(sampler, name)
listing = request(b"GET /v1/inbox HTTP/1.1\r\n\r\n")
seq = int(listing.split(b'"seq":')[1].split(b"}")[0].split(b",")[0])
parked = connect_each(PARKED, b"GET /v1/inbox?since=%d HTTP/1.1\r\n\r\n" % seq)
time.sleep(2)
early = sum(closed_by_server(s) for s in parked)
changed = time.monotonic()
with open(os.path.join(INBOX, "Landed.cube"), "wb") as f:
    f.write(SMALL)
selector = selectors.DefaultSelector()
for s in parked:
    selector.register(s, selectors.EVENT_READ, bytearray())
left, new, last = len(parked), 0, changed
while left and time.monotonic() - changed < 30:
    for key, _ in selector.select(timeout=1):
        try:
            data = key.fileobj.recv(1 << 16)
        except OSError:
            data = b""
        if data:
            key.data.extend(data)
            continue
        new += b'"seq":%d' % (seq + 1) in key.data
        selector.unregister(key.fileobj)
        left -= 1
        last = time.monotonic()
close_all(parked)
end_phase(name, cpu, f"{len(parked)} parked ({early} answered early), {new} answered with the new listing "
          f"{(last - changed) * 1000:.0f} ms after the file landed (the watcher settles for 1.5 s)")

client.done = True
client.join()
sampler.done = True
sampler.join()

print()
print(f"{'phase':<44} {'well-behaved ok':>15} {'worst':>8} {'peak RSS':>9} {'peak fds':>8} {'server cpu':>10}")
for name, cpu, note in rows:
    results = client.results.get(name, [])
    ok = sum(r[0] for r in results)
    worst = max((r[1] for r in results), default=0)
    rss, fds = sampler.peaks.get(name, (0, 0))
    print(f"{name:<44} {f'{ok}/{len(results)}':>15} {worst * 1000:>6.0f}ms {rss / 1024:>6.0f}MiB {fds:>8} {cpu:>9.2f}s")
    print(f"    {note}")
everything = [r for rs in client.results.values() for r in rs]
print(f"well-behaved client overall: {sum(r[0] for r in everything)}/{len(everything)} answered correctly, "
      f"worst {max(r[1] for r in everything) * 1000:.0f} ms")
print(f"program peak RSS (VmHWM) {status_kb('VmHWM') / 1024:.0f} MiB, idle {sampler.peaks['idle program'][0] / 1024:.0f} MiB; "
      f"server thread {server_cpu() - cpu_start:.2f} s of processor time in all")
