#!/usr/bin/env python3
"""An SMTP sink on 127.0.0.1 that discards what it gets, reading 1 MB at a time: faster than
the programs it measures, so an upload benchmark times the uploader, not the sink. Answers 250
to everything, 354 to DATA, 221 to QUIT; PIPELINING and 8BITMIME in its EHLO. One thread per
connection. Usage: fast_sink.py PORT (runs until killed), or import it and call serve()."""
import socket
import sys
import threading

END = b"\r\n.\r\n"


def session(conn, counted=None):
    conn.sendall(b"220 sink ESMTP\r\n")
    pending = b""
    in_data = False
    tail = b""
    while True:
        chunk = conn.recv(1 << 20)
        if not chunk:
            return
        if counted is not None:
            counted[0] += len(chunk)
        if in_data:
            joined = tail + chunk
            at = joined.find(END)
            if at < 0:
                tail = joined[-4:]
                continue
            in_data, tail = False, b""
            conn.sendall(b"250 2.0.0 Ok: discarded\r\n")
            pending = joined[at + len(END):]
        else:
            pending += chunk
        while not in_data and b"\r\n" in pending:
            line, pending = pending.split(b"\r\n", 1)
            verb = line[:4].upper()
            if verb in (b"EHLO",):
                conn.sendall(b"250-sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 SIZE 0\r\n")
            elif verb == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                in_data, tail = True, b"\r\n"
                joined = tail + pending
                at = joined.find(END)
                if at >= 0:
                    in_data = False
                    conn.sendall(b"250 2.0.0 Ok: discarded\r\n")
                    pending = joined[at + len(END):]
                else:
                    tail, pending = joined[-4:], b""
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 Ok\r\n")


def serve(port, ready=None, counted=None):
    """Serves until the process ends; `counted[0]` (when given) sums every byte received."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    if ready:
        ready.set()
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=lambda c=conn: (session(c, counted), c.close()), daemon=True).start()


if __name__ == "__main__":
    serve(int(sys.argv[1]))
