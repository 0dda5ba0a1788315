"""Sends raw Ethernet frames, given in hex, out of one interface:
    python3 inject.py IFNAME HEX [HEX ...]
Run inside a namespace (ip netns exec) to send on that namespace's interface."""

import socket
import sys


def main():
    if len(sys.argv) < 3:
        print("usage: inject.py IFNAME HEX [HEX ...]", file=sys.stderr)
        return 2
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as raw:
        raw.bind((sys.argv[1], 0))
        for frame in sys.argv[2:]:
            raw.send(bytes.fromhex(frame))
    return 0


if __name__ == "__main__":
    sys.exit(main())
