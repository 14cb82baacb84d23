"""vardok-check and the classic plugins on the same hostile loopback servers.

Run by scripts/compare-classic.sh. Every server lives in this process on a
thread of its own (TLS ones are openssl s_server, stopped by their process
id); each case runs the classic plugin and vardok-check with a 2 s limit,
the name-server cases inside a mount namespace whose /etc/resolv.conf names
a server that never answers.
"""
import os, socket, struct, subprocess, sys, tempfile, threading, time

BIN = sys.argv[1]
PLUGINS = "/usr/lib/nagios/plugins"
TIMEOUT_S = 2
WELL, PROBLEM, CRITICAL = "well", "problem", "critical"


def serve_tcp(talk):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept():
        while True:
            client, _ = listener.accept()
            threading.Thread(target=talk, args=(client,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def hold(client):
    try:
        while client.recv(4096):
            pass
    except OSError:
        pass


def http_reply(status, body):
    def talk(client):
        client.recv(4096)
        client.sendall(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (status, len(body), body))
        client.close()
    return talk


def trickle(client):
    client.recv(4096)
    try:
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 209715200\r\n\r\n")
        for _ in range(600):
            client.sendall(b" " * 1024)
            time.sleep(0.1)
    except OSError:
        pass


def greeting(client):
    client.sendall(b"*" * 5000 + b"\r\nREADY\r\n")
    hold(client)


def garbage(client):
    try:
        client.sendall(os.urandom(4096))
    except OSError:
        pass
    hold(client)


def serve_dns(address, rcode):
    """A name server on address:53 answering every question with rcode, or never (None)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 53))

    def loop():
        while True:
            query, peer = s.recvfrom(512)
            if rcode is None or len(query) < 12:
                continue
            end = 12
            while end < len(query) and query[end]:
                end += query[end] + 1
            question = query[12:end + 5]
            s.sendto(query[:2] + struct.pack(">HHHHH", 0x8180 | rcode, 1, 0, 0, 0) + question, peer)

    threading.Thread(target=loop, daemon=True).start()


tls_servers = []


def serve_tls(certificate):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    certs = os.path.join(BIN, "certs")
    process = subprocess.Popen(["timeout", "600", "openssl", "s_server", "-quiet", "-www", "-accept", "127.0.0.1:%d" % port,
                                "-cert", os.path.join(certs, certificate + ".pem"),
                                "-key", os.path.join(certs, certificate + ".key")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tls_servers.append(process)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return port
        except OSError:
            time.sleep(0.1)
    raise SystemExit("openssl s_server did not start")


def run(command, silent_resolver):
    if silent_resolver:
        command = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"', RESOLV] + command
    start = time.monotonic()
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    ms = (time.monotonic() - start) * 1000
    return done.returncode, ms, done.stdout.decode(errors="replace").strip().split("\n")[0]


def classic_class(code):
    return {0: WELL, 1: PROBLEM}.get(code, CRITICAL)


def vardok_class(code):
    return WELL if code == 0 else PROBLEM if code < 10 else CRITICAL


dns_base = "127.55.%d." % (os.getpid() % 250 + 1)
serve_dns(dns_base + "1", None)
serve_dns(dns_base + "2", 5)
serve_dns(dns_base + "3", 3)
RESOLV = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False).name
with open(RESOLV, "w") as f:
    f.write("nameserver %s1\noptions timeout:5 attempts:2\n" % dns_base)

ok = serve_tcp(http_reply(200, b"ok"))
error = serve_tcp(http_reply(500, b"no"))
stall = serve_tcp(hold)
slow = serve_tcp(trickle)
greet = serve_tcp(greeting)
noise = serve_tcp(garbage)
good_tls = serve_tls("server")
not_yet = serve_tls("notyet")
expired = serve_tls("expired")
t = str(TIMEOUT_S)
ms = str(TIMEOUT_S * 1000)
silent = "silent.vardok.test"
P = lambda name: os.path.join(PLUGINS, name)

# name, what is true, classic command, vardok-check arguments, silent resolver
cases = [
    ("http well", WELL, [P("check_http"), "-I", "127.0.0.1", "-p", str(ok), "-t", t], ["http", "http://127.0.0.1:%d/" % ok], False),
    ("http 500", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(error), "-t", t], ["http", "http://127.0.0.1:%d/" % error], False),
    ("http never answers", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(stall), "-t", t], ["http", "http://127.0.0.1:%d/" % stall], False),
    ("http body trickles", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(slow), "-t", t], ["http", "http://127.0.0.1:%d/" % slow], False),
    ("http silent resolver", CRITICAL, [P("check_http"), "-H", silent, "-t", t], ["http", "http://%s/" % silent], True),
    ("tcp refused", CRITICAL, [P("check_tcp"), "-H", "127.0.0.1", "-p", "1", "-t", t], ["tcp", "127.0.0.1", "1"], False),
    ("tcp READY after 5,000 bytes", WELL, [P("check_tcp"), "-H", "127.0.0.1", "-p", str(greet), "-e", "READY", "-t", t], ["tcp", "127.0.0.1", str(greet), "--expect", "READY"], False),
    ("tcp silent, READY expected", CRITICAL, [P("check_tcp"), "-H", "127.0.0.1", "-p", str(stall), "-e", "READY", "-t", t], ["tcp", "127.0.0.1", str(stall), "--expect", "READY"], False),
    ("tcp silent resolver", CRITICAL, [P("check_tcp"), "-H", silent, "-p", "80", "-t", t], ["tcp", silent, "80"], True),
    ("cert well (untrusted issuer here)", None, [P("check_http"), "-I", "127.0.0.1", "-p", str(good_tls), "-S", "-C", "30,7", "-t", t], ["cert", "127.0.0.1:%d" % good_tls, "--name", "localhost"], False),
    ("cert not yet valid", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(not_yet), "-S", "-C", "30,7", "-t", t], ["cert", "127.0.0.1:%d" % not_yet, "--name", "localhost"], False),
    ("cert expired", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(expired), "-S", "-C", "30,7", "-t", t], ["cert", "127.0.0.1:%d" % expired, "--name", "localhost"], False),
    ("TLS garbage", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(noise), "-S", "-C", "30,7", "-t", t], ["cert", "127.0.0.1:%d" % noise], False),
    ("TLS silent", CRITICAL, [P("check_http"), "-I", "127.0.0.1", "-p", str(stall), "-S", "-C", "30,7", "-t", t], ["cert", "127.0.0.1:%d" % stall], False),
    ("cert silent resolver", CRITICAL, [P("check_http"), "-H", silent, "-S", "-C", "30,7", "-t", t], ["cert", silent], True),
    ("dns server silent", CRITICAL, [P("check_dns"), "-H", "a.vardok.test", "-s", dns_base + "1", "-t", t], ["dns", "a.vardok.test", "--server", dns_base + "1"], False),
    ("dns server refuses", CRITICAL, [P("check_dns"), "-H", "a.vardok.test", "-s", dns_base + "2", "-t", t], ["dns", "a.vardok.test", "--server", dns_base + "2"], False),
    ("dns NXDOMAIN", CRITICAL, [P("check_dns"), "-H", "a.vardok.test", "-s", dns_base + "3", "-t", t], ["dns", "a.vardok.test", "--server", dns_base + "3"], False),
    ("dns silent resolver", CRITICAL, [P("check_dns"), "-H", silent, "-t", t], ["dns", silent], True),
    ("ping well", WELL, [P("check_ping"), "-H", "127.0.0.1", "-w", "100,20%", "-c", "200,50%", "-p", "2", "-t", t], ["ping", "127.0.0.1", "--count", "2"], False),
    ("ping silent resolver", CRITICAL, [P("check_ping"), "-H", silent, "-w", "100,20%", "-c", "200,50%", "-p", "2", "-t", t], ["ping", silent, "--count", "2"], True),
]

vardok = [os.environ.get("WINE", "wine"), os.path.join(BIN, "vardok-check.exe")]
starts = sorted(run(vardok + ["--version"], False)[1] for _ in range(3))
startup = starts[1]
print("vardok-check starts in %.0f ms here (median of 3); it is late when it takes longer than that, its --timeout and a second" % startup)
print("%-36s %-9s | %-21s | %-21s | %s" % ("case", "truth", "classic", "vardok-check", "vardok-check's line"))
faults = 0
for name, truth, classic, arguments, resolver in cases:
    c_code, c_ms, _ = run(classic, resolver)
    v_code, v_ms, v_line = run(vardok + arguments + ["--timeout", ms], resolver)
    c, v = classic_class(c_code), vardok_class(v_code)
    late = v_ms > startup + TIMEOUT_S * 1000 + 1000
    wrong = truth == CRITICAL and v == WELL
    faults += late or wrong
    mark = " LATE" if late else ""
    mark += " CALLS A FAILURE WELL" if wrong else ""
    print("%-36s %-9s | %-8s %6.0f ms    | %-8s %6.0f ms%s | %s" % (name, truth or "-", c, c_ms, v, v_ms, mark, v_line[:110]))

for process in tls_servers:
    process.kill()
os.unlink(RESOLV)
print("vardok-check late or calling a failure well: %d of %d cases" % (faults, len(cases)))
sys.exit(1 if faults else 0)
