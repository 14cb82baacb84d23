#!/usr/bin/env bash
# Starts and stops the real servers that vardok-check's tests ask, on
# loopback addresses, each with a configuration of its own in DIR:
#   local-servers.sh dnsmasq DIR ADDRESS  dnsmasq on ADDRESS port 53, with
#                                         DIR/dnsmasq.conf and the hosts file
#                                         it names (both written by the test)
#   local-servers.sh dns-stand-in DIR ADDRESS [UPSTREAM DELAY_MS]
#                                         a name server on ADDRESS port 53 that
#                                         hands each question to UPSTREAM and
#                                         its answer back DELAY_MS later, or,
#                                         without UPSTREAM, never answers
#   local-servers.sh dns-stand-in DIR ADDRESS odd
#                                         a name server on ADDRESS port 53 (UDP
#                                         and TCP) that answers oddly, by the
#                                         first label of the name asked:
#                                         refused, servfail, nx, formerr, notimp
#                                         (answer codes 5, 2, 3, 1, 4), nodata
#                                         (no record),
#                                         trunc (truncated over UDP, A 10.9.8.7
#                                         over TCP), trunconly (truncated, TCP
#                                         closed at once), garbage (5 records
#                                         claimed, 0xFF bytes given), loop (a
#                                         record whose name points at itself),
#                                         txtline (a
#                                         TXT record with a line break and a
#                                         result tag), wrongid (an answer with
#                                         another id first, A 10.9.8.99, then
#                                         A 10.9.8.6); any other: A 10.9.8.1
#   local-servers.sh prometheus DIR [TARGET]
#                                         Prometheus on a free port, scraping
#                                         itself (and TARGET, host:port, as job
#                                         vardok, every second), with one
#                                         alerting rule that always fires and
#                                         one that never does
#   local-servers.sh stop DIR             ends the server by its process id
# The tests run under Wine, which cannot wait for a Linux process: this
# script writes DIR/ready (the server's address) once the server answers,
# or DIR/failed with the reason. Every server ends by itself after 15
# minutes at the latest, whatever becomes of the test.
set -u
kind=$1 dir=$2
mkdir -p "$dir"
fail() { echo "$*" > "$dir/failed.tmp"; mv "$dir/failed.tmp" "$dir/failed"; exit 1; }
ready() { echo "$1" > "$dir/ready.tmp"; mv "$dir/ready.tmp" "$dir/ready"; exit 0; }
# Starts a server in a session of its own, bounded in time; its process id
# (that of timeout, which hands a TERM on) goes to DIR/pid.
launch() {
  setsid timeout -k 5 900 "$@" > "$dir/server.log" 2>&1 < /dev/null &
  echo $! > "$dir/pid"
}

case $kind in
  dnsmasq)
    address=$3
    command -v dnsmasq > /dev/null || fail "dnsmasq is not installed (scripts/setup.sh installs it)"
    launch dnsmasq --keep-in-foreground --conf-file="$dir/dnsmasq.conf" --listen-address="$address" \
      --bind-interfaces --port=53 --user=root --pid-file= --no-resolv --no-hosts
    # Ready once it answers a question of its own.
    for _ in $(seq 100); do
      if python3 - "$address" <<'PY'
import socket, struct, sys
query = struct.pack('>HHHHHH', 7, 0x0100, 1, 0, 0, 0) + b'\x05ready\x04test\x00' + struct.pack('>HH', 1, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(0.2)
try:
    s.sendto(query, (sys.argv[1], 53))
    s.recv(512)
except OSError:
    sys.exit(1)
PY
      then ready "$address"; fi
      kill -0 "$(cat "$dir/pid")" 2> /dev/null || fail "dnsmasq ended: $(tail -n 3 "$dir/server.log")"
      sleep 0.1
    done
    fail "dnsmasq did not answer within 10 s: $(tail -n 3 "$dir/server.log")"
    ;;
  dns-stand-in)
    # Linux's own socket: under Wine two UDP sockets on one port clash
    # whatever their addresses.
    code=$(cat <<'PY'
import os, socket, struct, sys, threading, time
folder, address, upstream = sys.argv[1], sys.argv[2], sys.argv[3]
odd = upstream == 'odd'
delay = 0 if odd else int(sys.argv[4]) / 1000
def tell(name, text):
    with open(os.path.join(folder, name + '.tmp'), 'w') as f:
        f.write(text + '\n')
    os.rename(os.path.join(folder, name + '.tmp'), os.path.join(folder, name))
server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
stream = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
stream.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    server.bind((address, 53))
    if odd:
        stream.bind((address, 53))
        stream.listen(16)
except OSError as e:
    tell('failed', 'cannot listen on %s port 53: %s' % (address, e))
    sys.exit(1)
def answers(question, tcp):
    """The packets that answer a question in the odd mode, by its first label."""
    if len(question) < 12:
        return []
    ident, flags = struct.unpack('>HH', question[:4])
    at, labels = 12, []
    while at < len(question) and question[at] != 0:
        labels.append(question[at + 1:at + 1 + question[at]])
        at += 1 + question[at]
    asked = question[12:at + 5]
    first = labels[0].decode('ascii', 'replace').lower() if labels else ''
    def packet(rcode=0, records=(), tc=False, ident=ident, with_question=True):
        head = struct.pack('>HHHHHH', ident, 0x8000 | (flags & 0x0100) | 0x0080 | (0x0200 if tc else 0) | rcode,
                           1 if with_question else 0, len(records), 0, 0)
        body = b''.join(struct.pack('>HHHIH', 0xC00C, kind, 1, 60, len(data)) + data for kind, data in records)
        return head + (asked if with_question else b'') + body
    def a(text):
        return (1, socket.inet_aton(text))
    if first == 'refused':
        return [packet(5)]
    if first == 'servfail':
        return [packet(2)]
    if first == 'nx':
        return [packet(3)]
    if first == 'nodata':
        return [packet()]
    if first == 'formerr':
        return [packet(1, with_question=False)]
    if first == 'notimp':
        return [packet(4)]
    if first == 'trunc':
        return [packet(records=[a('10.9.8.7')])] if tcp else [packet(tc=True)]
    if first == 'trunconly':
        return [] if tcp else [packet(tc=True)]
    if first == 'garbage':
        return [packet()[:6] + struct.pack('>H', 5) + packet()[8:] + b'\xff' * 40]
    if first == 'loop':
        own = struct.pack('>H', 0xC000 | 12 + len(asked))
        return [packet()[:6] + struct.pack('>H', 1) + packet()[8:] + own + struct.pack('>HHIH', 1, 1, 60, 4) + bytes(4)]
    if first == 'txtline':
        text = b'first line\nsecond <velkaro:info>All fine'
        return [packet(records=[(16, bytes([len(text)]) + text)])]
    if first == 'wrongid':
        return [packet(records=[a('10.9.8.99')], ident=ident ^ 0x5A5A), packet(records=[a('10.9.8.6')])]
    return [packet(records=[a('10.9.8.1')])]
def serve_stream():
    while True:
        client, _ = stream.accept()
        threading.Thread(target=answer_stream, args=(client,), daemon=True).start()
def answer_stream(client):
    with client:
        client.settimeout(5)
        try:
            data = b''
            while len(data) < 2 or len(data) < 2 + struct.unpack('>H', data[:2])[0]:
                more = client.recv(4096)
                if not more:
                    return
                data += more
            for answer in answers(data[2:], True):
                client.sendall(struct.pack('>H', len(answer)) + answer)
        except OSError:
            pass
if odd:
    threading.Thread(target=serve_stream, daemon=True).start()
tell('ready', address)
def relay(question, client):
    time.sleep(delay)
    ask = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ask.settimeout(2)
    try:
        ask.sendto(question, (upstream, 53))
        server.sendto(ask.recv(512), client)
    except OSError:
        pass
while True:
    question, client = server.recvfrom(512)
    if odd:
        for answer in answers(question, False):
            server.sendto(answer, client)
    elif upstream:
        threading.Thread(target=relay, args=(question, client), daemon=True).start()
PY
)
    launch python3 -c "$code" "$dir" "$3" "${4:-}" "${5:-0}"
    for _ in $(seq 100); do
      [ -f "$dir/ready" ] || [ -f "$dir/failed" ] && exit 0
      kill -0 "$(cat "$dir/pid")" 2> /dev/null || fail "the stand-in ended: $(tail -n 3 "$dir/server.log")"
      sleep 0.1
    done
    fail "the stand-in did not start within 10 s"
    ;;
  prometheus)
    command -v prometheus > /dev/null || fail "prometheus is not installed (scripts/setup.sh installs it)"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat > "$dir/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ['$dir/rules.yml']
scrape_configs:
  - job_name: self
    static_configs:
      - targets: ['127.0.0.1:$port']
YML
    if [ -n "${3:-}" ]; then
      cat >> "$dir/prometheus.yml" <<YML
  - job_name: vardok
    static_configs:
      - targets: ['$3']
YML
    fi
    cat > "$dir/rules.yml" <<'YML'
groups:
  - name: vardok-test
    interval: 1s
    rules:
      - alert: AlwaysFiring
        expr: vector(1)
        labels: {severity: page}
      - alert: NeverFiring
        expr: vector(0) > 1
        labels: {severity: page}
YML
    launch prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/data" \
      --web.listen-address="127.0.0.1:$port" --log.level=warn
    # Ready once the first scrape is in and the always-firing rule fires.
    for _ in $(seq 600); do
      if python3 - "$port" <<'PY'
import json, sys, urllib.request
base = 'http://127.0.0.1:%s/api/v1/' % sys.argv[1]
try:
    up = json.load(urllib.request.urlopen(base + 'query?query=up', timeout=1))
    alerts = json.load(urllib.request.urlopen(base + 'alerts', timeout=1))
except Exception:
    sys.exit(1)
firing = [a for a in alerts['data']['alerts'] if a['state'] == 'firing']
sys.exit(0 if up['data']['result'] and firing else 1)
PY
      then ready "http://127.0.0.1:$port"; fi
      kill -0 "$(cat "$dir/pid")" 2> /dev/null || fail "prometheus ended: $(tail -n 3 "$dir/server.log")"
      sleep 0.1
    done
    fail "prometheus was not ready within 60 s: $(tail -n 3 "$dir/server.log")"
    ;;
  stop)
    if [ -f "$dir/pid" ]; then
      pid=$(cat "$dir/pid")
      kill "$pid" 2> /dev/null
      for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2> /dev/null
    fi
    rm -rf "$dir"
    ;;
  *)
    fail "unknown server $kind"
    ;;
esac
