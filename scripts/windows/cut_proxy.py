#!/usr/bin/env python3
"""A TCP proxy for one connection that cuts it after a number of bytes from the service.

    cut_proxy.py TARGET_PORT CUT_BYTES

Listens on 127.0.0.1 on a free port and prints that port on the first line of its output. It
takes one client, connects it to 127.0.0.1:TARGET_PORT, passes the bytes both ways, and closes
both connections once CUT_BYTES bytes have gone from the service to the client (or either side
closes). It ends after that one connection, or after 60 seconds in any case.
"""
import select
import socket
import sys
import time

LIFETIME = 60.0  # seconds


def main():
    target_port = int(sys.argv[1])
    cut_bytes = int(sys.argv[2])
    deadline = time.monotonic() + LIFETIME

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    listener.settimeout(LIFETIME)
    client, _ = listener.accept()
    listener.close()
    service = socket.create_connection(("127.0.0.1", target_port), timeout=10)

    passed = 0  # bytes from the service to the client
    open_ends = [client, service]
    while passed < cut_bytes and time.monotonic() < deadline:
        readable, _, _ = select.select(open_ends, [], [], 1.0)
        if client in readable:
            data = client.recv(65536)
            if not data:
                break
            service.sendall(data)
        if service in readable:
            data = service.recv(min(65536, cut_bytes - passed))
            if not data:
                break
            client.sendall(data)
            passed += len(data)
    for end in open_ends:
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        end.close()
    print(passed, flush=True)


if __name__ == "__main__":
    main()
