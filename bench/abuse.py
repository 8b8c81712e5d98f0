#!/usr/bin/env python3
"""Abusive clients for bench/abuse.sh, measuring one server process while they run.

  abuse.py pipeline PID PORT COUNT SECONDS   COUNT pipelined GETs of /big.bin, answers never read
  abuse.py slowloris PID PORT SOCKETS SECONDS one header byte per socket every 10 s

Meanwhile a fresh client asks for /small.txt every second. Prints one line:
  base_kb=N peak_kb=N fresh_ok=N fresh_total=N [sent=N] [closed=N sockets=N all_closed_at=S]
"""
import http.client
import socket
import sys
import threading
import time


def rss_kb(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


class Sampler(threading.Thread):
    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = rss_kb(pid)
        self.running = True

    def run(self):
        while self.running:
            self.peak = max(self.peak, rss_kb(self.pid))
            time.sleep(0.05)


class Fresh(threading.Thread):
    """A well-behaved client: one request a second on a new connection, 5 s to answer."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.ok = 0
        self.total = 0
        self.running = True

    def run(self):
        while self.running:
            self.total += 1
            try:
                conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=5)
                conn.request('GET', '/small.txt')
                answer = conn.getresponse()
                if answer.status == 200 and answer.read() == b'hello\n':
                    self.ok += 1
                conn.close()
            except OSError:
                pass
            time.sleep(1)


def pipeline(port, count, seconds):
    request = b'GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n'
    pending = request * count
    sock = socket.create_connection(('127.0.0.1', port))
    sock.setblocking(False)
    sent = 0
    end = time.time() + seconds
    while time.time() < end:
        if sent < len(pending):
            try:
                sent += sock.send(pending[sent:sent + 65536])
                continue
            except BlockingIOError:
                pass
            except OSError:
                break
        time.sleep(0.05)
    sock.close()
    return 'sent=%d' % (sent // len(request))


def slowloris(port, sockets, seconds):
    head = b'GET /small.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ' + b'a' * 64
    conns = []
    for _ in range(sockets):
        try:
            sock = socket.create_connection(('127.0.0.1', port), timeout=5)
            sock.setblocking(False)
            conns.append([sock, 0, None])
        except OSError:
            break
    start = time.time()
    next_round = start
    while time.time() - start < seconds:
        now = time.time()
        for entry in conns:
            if entry[2] is not None:
                continue
            sock = entry[0]
            try:
                if sock.recv(4096, socket.MSG_PEEK) == b'':
                    entry[2] = now - start
                    continue
                # An answer (408) arrived: drain it; the close follows.
                sock.recv(65536)
            except BlockingIOError:
                pass
            except OSError:
                entry[2] = now - start
                continue
            if now >= next_round and entry[1] < len(head):
                try:
                    sock.send(head[entry[1]:entry[1] + 1])
                    entry[1] += 1
                except OSError:
                    entry[2] = now - start
        if now >= next_round:
            next_round = now + 10
        time.sleep(0.2)
    closed = [e[2] for e in conns if e[2] is not None]
    for entry in conns:
        entry[0].close()
    last = max(closed) if len(closed) == len(conns) and closed else -1
    return 'closed=%d sockets=%d all_closed_at=%.0f' % (len(closed), len(conns), last)


def main():
    mode, pid, port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    amount, seconds = int(sys.argv[4]), float(sys.argv[5])
    base = rss_kb(pid)
    sampler = Sampler(pid)
    sampler.start()
    fresh = Fresh(port)
    fresh.start()
    if mode == 'pipeline':
        extra = pipeline(port, amount, seconds)
    else:
        extra = slowloris(port, amount, seconds)
    fresh.running = False
    fresh.join()
    sampler.running = False
    sampler.join()
    print('base_kb=%d peak_kb=%d fresh_ok=%d fresh_total=%d %s'
          % (base, sampler.peak, fresh.ok, fresh.total, extra))


if __name__ == '__main__':
    main()
