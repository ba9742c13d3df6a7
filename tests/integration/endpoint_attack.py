#!/usr/bin/python3
"""Hostile and broken HTTP/2 clients for the provider endpoint's tests and measurements.

    endpoint_attack.py PORT ATTACK [--connections N] [--streams N] [--hold SECONDS]
                       [--trickle SECONDS] [--token JWT]

Cleartext HTTP/2 (prior knowledge) on 127.0.0.1 only. Prints one JSON object: what the
endpoint did to the attackers, and how a fresh client fared meanwhile ("fresh": the seconds
each fresh push took to be answered, or null when it was not answered within 5 s).

Attacks:
  idle      connections that send the preface and their SETTINGS, then nothing
  hello     connections that send the first 5 bytes of the preface, then nothing
  trickle   connections that send the preface a byte at a time, one every --trickle seconds
  streams   connections that each open --streams streams that never end, every stream's
            header block four references to one 3.9 KB header already in the HPACK table
  forged    one connection sending --streams pushes with the provider token --token
  noread    connections that each send --streams pushes and never read an answer
  burst     one connection sending --streams requests in one write, each answered 405
  slowtoken one connection sending --streams pushes whose token is slow to judge, then a
            fresh push whose token is known
  probes    single requests: HEAD, a 100 KB authorization, a NUL then junk after the payload
"""
import argparse
import json
import select
import socket
import time

import h2.config
import h2.connection
import h2.events
import h2.exceptions

DEVICE = "/3/device/" + "ab" * 32
PUSH = b'{"aps":{"alert":"Hi"}}'
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def connect(port, timeout=5.0):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def client():
    config = h2.config.H2Configuration(client_side=True, header_encoding="utf-8",
                                       validate_outbound_headers=False,
                                       normalize_outbound_headers=False)
    conn = h2.connection.H2Connection(config=config)
    conn.local_settings.max_concurrent_streams = 1000
    return conn


def request_headers(port, method="POST", extra=()):
    return [(":method", method), (":scheme", "http"), (":authority", "127.0.0.1:%d" % port),
            (":path", DEVICE)] + list(extra)


def exchange(port, method="POST", extra=(), body=PUSH, timeout=5.0):
    """One request on a fresh connection: (status, body, seconds) or (None, why, seconds)."""
    # Encoded before connecting: a large header block takes Python seconds on a busy machine,
    # which the endpoint would rightly take for a client stuck in its handshake.
    conn = client()
    conn.initiate_connection()
    stream = conn.get_next_available_stream_id()
    conn.send_headers(stream, request_headers(port, method, extra), end_stream=not body)
    if body:
        conn.send_data(stream, body, end_stream=True)
    wire = conn.data_to_send()
    started = time.monotonic()
    try:
        sock = connect(port, timeout)
    except OSError as error:
        return None, str(error), time.monotonic() - started
    status, answer = None, b""
    try:
        sock.sendall(wire)
        deadline = started + timeout
        while time.monotonic() < deadline:
            sock.settimeout(max(0.01, deadline - time.monotonic()))
            data = sock.recv(65536)
            if not data:
                return status, "closed", time.monotonic() - started
            for event in conn.receive_data(data):
                if isinstance(event, h2.events.ResponseReceived):
                    status = int(dict(event.headers)[":status"])
                elif isinstance(event, h2.events.DataReceived):
                    answer += event.data
                    conn.acknowledge_received_data(event.flow_controlled_length, stream)
                elif isinstance(event, h2.events.StreamEnded):
                    return status, answer.decode("utf-8", "replace"), time.monotonic() - started
                elif isinstance(event, (h2.events.StreamReset, h2.events.ConnectionTerminated)):
                    return status, type(event).__name__, time.monotonic() - started
            sock.sendall(conn.data_to_send())
    except (OSError, h2.exceptions.ProtocolError) as error:
        return status, str(error) or type(error).__name__, time.monotonic() - started
    finally:
        sock.close()
    return status, "timeout", time.monotonic() - started


def fresh_push(port):
    status, _, seconds = exchange(port)
    return round(seconds, 3) if status == 200 else None


def open_attackers(port, count):
    socks = []
    for _ in range(count):
        try:
            socks.append(connect(port))
        except OSError:
            break
    return socks


def closed_by_server(sock):
    """Whether the server has closed `sock` (reads and discards what it sent)."""
    try:
        sock.setblocking(False)
        while True:
            data = sock.recv(65536)
            if not data:
                return True
    except BlockingIOError:
        return False
    except OSError:
        return True


def hold(port, socks, seconds, trickle=None, payload=b""):
    """Keeps the attackers for `seconds`, a fresh push every second; trickles if asked."""
    fresh, sent = [], 0
    end = time.monotonic() + seconds
    next_byte = time.monotonic() + (trickle or seconds)
    while time.monotonic() < end:
        if trickle and time.monotonic() >= next_byte and sent < len(payload):
            for sock in socks:
                try:
                    sock.send(payload[sent:sent + 1])
                except OSError:
                    pass
            sent += 1
            next_byte += trickle
        fresh.append(fresh_push(port))
        time.sleep(max(0.0, 1.0 - (fresh[-1] or 0)))
    return fresh


def preface_and_settings():
    conn = client()
    conn.initiate_connection()
    return conn.data_to_send()


def attack_quiet(args, first_bytes=b"", trickle=None):
    socks = open_attackers(args.port, args.connections)
    for sock in socks:
        try:
            sock.sendall(first_bytes)
        except OSError:
            pass
    fresh = hold(args.port, socks, args.hold, trickle, preface_and_settings() if trickle else b"")
    closed = sum(closed_by_server(sock) for sock in socks)
    return {"opened": len(socks), "closed": closed, "fresh": fresh}


class Frames:
    """A reader of the frames the server sends one raw attacker: acknowledges its SETTINGS,
    answers its PINGs, and counts what it does to the attacker's streams."""

    def __init__(self, sock, counts):
        self.sock, self.counts, self.buffer, self.closed = sock, counts, b"", False

    def feed(self, data):
        self.buffer += data
        while len(self.buffer) >= 9:
            length = int.from_bytes(self.buffer[:3], "big")
            if len(self.buffer) < 9 + length:
                return
            kind, flags = self.buffer[3], self.buffer[4]
            payload = self.buffer[9:9 + length]
            self.buffer = self.buffer[9 + length:]
            if kind == 3:  # RST_STREAM
                code = int.from_bytes(payload[:4], "big")
                self.counts["refused" if code == 7 else "reset"] += 1
            elif kind == 1:
                self.counts["answered"] += 1
            elif kind == 7:
                self.counts["goaway"] += 1
            elif kind == 4 and not flags & 1:
                self.send(frame(4, 1, 0, b""))
            elif kind == 6 and not flags & 1:
                self.send(frame(6, 1, 0, payload))

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            pass


def frame(kind, flags, stream, payload):
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


def pump(readers, seconds):
    """Reads what the server sends the attackers for `seconds`."""
    end = time.monotonic() + seconds
    by_fd = {reader.sock.fileno(): reader for reader in readers if not reader.closed}
    while by_fd:
        ready, _, _ = select.select(list(by_fd), [], [], max(0.0, min(0.1, end - time.monotonic())))
        for fd in ready:
            reader = by_fd[fd]
            try:
                data = reader.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                reader.counts["closed"] += 1
                reader.closed = True
                del by_fd[fd]
                continue
            reader.feed(data)
        if time.monotonic() >= end:
            break


def new_counts():
    return dict.fromkeys(("refused", "reset", "answered", "goaway", "closed", "sent"), 0)


def raw_streams(port, extra, count, end_stream, method="POST"):
    """The preface, SETTINGS and `count` streams' HEADERS as one write's bytes: the first
    header block fills the HPACK table, every later one only refers to it."""
    import hpack
    encoder = hpack.Encoder()
    headers = request_headers(port, method) + extra
    wire = [PREFACE, frame(4, 0, 0, b"")]
    for n in range(count):
        wire.append(frame(1, 5 if end_stream else 4, 1 + 2 * n, encoder.encode(headers)))
    return b"".join(wire)


def attack_streams(args):
    counts = new_counts()
    wire = raw_streams(args.port, [("x-pad", "p" * 3900)] * 4, args.streams, False)
    readers = []
    for sock in open_attackers(args.port, args.connections):
        counts["sent"] += args.streams
        reader = Frames(sock, counts)
        reader.send(wire)
        readers.append(reader)
        pump(readers, 0.0)
    pump(readers, 0.5)
    fresh = [fresh_push(args.port)]
    pump(readers, args.hold)
    fresh.append(fresh_push(args.port))
    counts["fresh"] = fresh
    return counts


def one_connection(args, extra, method="POST"):
    """--streams requests that end at once, in one write on one connection."""
    counts = new_counts()
    reader = Frames(connect(args.port), counts)
    reader.send(raw_streams(args.port, extra, args.streams, True, method))
    counts["sent"] = args.streams
    pump([reader], args.hold)
    counts["fresh"] = [fresh_push(args.port)]
    return counts


def attack_slowtoken(args):
    counts = new_counts()
    reader = Frames(connect(args.port), counts)
    topic = ("apns-topic", "com.example.app")
    reader.send(raw_streams(args.port, [("authorization", "bearer slow"), topic], args.streams,
                            True))
    counts["sent"] = args.streams
    time.sleep(0.1)
    status, _, seconds = exchange(args.port, extra=[("authorization", "bearer good"), topic])
    pump([reader], 0.0)
    counts["slow_answered_before_fresh"] = counts["answered"]
    counts["fresh"] = [round(seconds, 3) if status == 200 else None]
    pump([reader], args.hold)
    return counts


def attack_noread(args):
    socks = open_attackers(args.port, args.connections)
    wire = raw_streams(args.port, [], args.streams, True, method="GET")
    for sock in socks:
        sock.setblocking(False)
        try:
            sock.send(wire)
        except OSError:
            pass
    fresh = hold(args.port, socks, args.hold)
    return {"opened": len(socks), "fresh": fresh}


def attack_probes(args):
    answers = {}
    status, body, _ = exchange(args.port, method="HEAD", body=b"")
    answers["head"] = [status, body]
    status, body, _ = exchange(args.port, extra=[("authorization", "bearer " + "a" * 100000)])
    answers["huge_authorization"] = [status, body]
    status, body, _ = exchange(args.port, body=b'{"aps":{"alert":"x"}}\0garbage]]]')
    answers["nul_then_junk"] = [status, body]
    return answers


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("attack")
    parser.add_argument("--connections", type=int, default=10)
    parser.add_argument("--streams", type=int, default=10)
    parser.add_argument("--hold", type=float, default=3.0)
    parser.add_argument("--trickle", type=float, default=1.0)
    parser.add_argument("--token", default="")
    args = parser.parse_args()
    attacks = {
        "idle": lambda a: attack_quiet(a, preface_and_settings()),
        "hello": lambda a: attack_quiet(a, b"PRI *"),
        "trickle": lambda a: attack_quiet(a, trickle=a.trickle),
        "streams": attack_streams,
        "forged": lambda a: one_connection(
            a, [("authorization", "bearer " + a.token), ("apns-topic", "com.example.app")]),
        "noread": attack_noread,
        "slowtoken": attack_slowtoken,
        "burst": lambda a: one_connection(a, [], "GET"),
        "probes": attack_probes,
    }
    print(json.dumps(attacks[args.attack](args)))


if __name__ == "__main__":
    main()
