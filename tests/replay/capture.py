#!/usr/bin/env python3
"""Records what a running simulator answers to one request, as a replay stream.

    qm38sim --tcp 5938 [fault options] &
    tests/replay/capture.py 5938 8007 [PAYLOAD_HEX] > answer.hex

The request frame is built here, not by the tool's code, so a capture never
inherits a fault of the codec it is meant to check. Prints the received bytes
as hex, 32 to a line, until the link has been quiet for a second.
"""
import socket
import sys


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return x


def request(code, payload, timeout_ms=800):
    head = b"BRNO" + code.to_bytes(2, "little") + (len(payload) + 1).to_bytes(2, "little")
    head += timeout_ms.to_bytes(2, "little") + b"\x00"
    return head + bytes([xor(head)]) + payload + bytes([xor(payload)])


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    port, code = int(sys.argv[1]), int(sys.argv[2])
    payload = bytes.fromhex(sys.argv[3]) if len(sys.argv) == 4 else b""
    got = b""
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(request(code, payload))
        s.settimeout(1.0)
        try:
            while chunk := s.recv(4096):
                got += chunk
        except socket.timeout:
            pass
    for i in range(0, len(got), 32):
        print(got[i:i + 32].hex())


if __name__ == "__main__":
    main()
