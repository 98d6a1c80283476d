#!/usr/bin/env python3
"""The load client must catch the faults it counts. A forward proxy of our own, in front of the
real origin, damages every fifth reply in one way per run; the load client must count exactly
those replies under the right outcome and exit with its failure status, and must pass a run
through the same proxy when it damages nothing.

  self_check.py LOAD_CLIENT ORIGIN_JS NODE
"""
import json
import re
import socket
import subprocess
import sys
import threading


def serve(listener, mode, origin_port, counter, lock):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(conn, mode, origin_port, counter, lock),
                         daemon=True).start()


def read_request(conn):
    data = b''
    while b'\r\n\r\n' not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, None
        data += chunk
    head, body = data.split(b'\r\n\r\n', 1)
    length = re.search(rb'(?im)^content-length: *(\d+)', head)
    chunked = re.search(rb'(?im)^transfer-encoding: *chunked', head)

    def more():
        chunk = conn.recv(65536)
        return chunk

    while length and len(body) < int(length.group(1)):
        chunk = more()
        if not chunk:
            break
        body += chunk
    # A chunked body is passed on as it is; its last chunk ends it.
    while chunked and not body.endswith(b'0\r\n\r\n'):
        chunk = more()
        if not chunk:
            break
        body += chunk
    return head, body


def handle(conn, mode, origin_port, counter, lock):
    with conn:
        head, body = read_request(conn)
        if head is None:
            return
        lines = head.split(b'\r\n')
        method, url, _ = lines[0].split(b' ')
        path = re.sub(rb'^http://[^/]+', b'', url)
        keep = [l for l in lines[1:] if not re.match(rb'(?i)(connection|proxy-connection):', l)]
        with socket.create_connection(('127.0.0.1', origin_port)) as up:
            up.sendall(method + b' ' + path + b' HTTP/1.1\r\n' + b'\r\n'.join(keep) +
                       b'\r\nConnection: close\r\n\r\n' + body)
            reply = b''
            while True:
                chunk = up.recv(65536)
                if not chunk:
                    break
                reply += chunk
        if b'\r\n\r\n' not in reply:
            return
        rhead, rbody = reply.split(b'\r\n\r\n', 1)
        if re.search(rb'(?im)^transfer-encoding: *chunked', rhead):
            # As the daemon gives it: the body unframed, no transfer-encoding.
            rhead = re.sub(rb'(?i)\r\ntransfer-encoding: *chunked', b'', rhead)
            plain = b''
            while True:
                line, rbody = rbody.split(b'\r\n', 1)
                n = int(line.split(b';')[0], 16)
                if n == 0:
                    break
                plain += rbody[:n]
                rbody = rbody[n + 2:]
            rbody = plain
        # A cut reply is a detectable one only while it states its length.
        eligible = mode != 'cut_with_length' or re.search(rb'(?i)\r\ncontent-length:', rhead)
        with lock:
            counter[0] += 1 if eligible else 0
            damage = eligible and mode != 'none' and counter[0] % 5 == 0
        if damage:
            if mode == 'flip':
                rbody = rbody[:-1] + bytes([rbody[-1] ^ 1])
            elif mode == 'cut':
                rhead = re.sub(rb'(?i)\r\ncontent-length: *\d+', b'', rhead)
                rbody = rbody[:len(rbody) // 2]
            elif mode == 'cut_with_length':
                rbody = rbody[:len(rbody) // 2]
            elif mode == 'swap':
                rhead = re.sub(rb'(?i)x-path: /', b'x-path: /other', rhead)
        conn.sendall(rhead + b'\r\n\r\n' + rbody)


def main():
    load_client, origin_js, node = sys.argv[1:4]
    origin = subprocess.Popen([node, origin_js], stdout=subprocess.PIPE)
    try:
        ports = json.loads(origin.stdout.readline())
        expected = {
            # mode: (outcome every damaged reply must get, exit status)
            'none': (None, 0),
            'flip': ('corrupted', 1),
            'cut': ('truncated_as_complete', 1),
            'cut_with_length': ('closed', 2),
            'swap': ('misrouted', 1),
        }
        failures = []
        for mode, (outcome, status) in expected.items():
            listener = socket.socket()
            listener.bind(('127.0.0.1', 0))
            listener.listen(64)
            counter = [0]
            threading.Thread(target=serve, args=(listener, mode, ports['http'], counter,
                                                 threading.Lock()), daemon=True).start()
            run = subprocess.run(
                [load_client, '--proxy', '127.0.0.1:%d' % listener.getsockname()[1], '--origin',
                 '127.0.0.1:%d' % ports['http'], '--clients', '4', '--requests', '100',
                 '--mix', 'small=70,upload=30', '--big-size', '65536'],
                stdout=subprocess.PIPE, timeout=60)
            listener.close()
            figures = json.loads(run.stdout)
            damaged = counter[0] // 5 if mode != 'none' else 0
            got = {k: figures[k] for k in ('ok', 'corrupted', 'misrouted',
                                           'truncated_as_complete', 'closed', 'failed')}
            want = {k: 0 for k in got}
            want['ok'] = 100 - damaged
            if outcome:
                want[outcome] = damaged
            print('%-16s exit %d %s' % (mode, run.returncode, json.dumps(got)))
            if got != want or run.returncode != status or (mode != 'none' and damaged == 0):
                failures.append('%s: want exit %d %s' % (mode, status, json.dumps(want)))
        for f in failures:
            print('FAILED ' + f)
        return 1 if failures else 0
    finally:
        origin.terminate()
        origin.wait()


if __name__ == '__main__':
    sys.exit(main())
