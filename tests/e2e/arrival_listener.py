#!/usr/bin/env python3
"""Says which name queries that nothing answers arrive on this side of the physical path.

Usage: arrival_listener.py OUT_FILE ADDRESS

Listens for LLMNR (the group 224.0.0.252, UDP 5355) and mDNS (224.0.0.251, UDP 5353), both
joined on the interface of ADDRESS, and for NetBIOS name service broadcasts (UDP 137). Each
datagram adds "PORT TAG" to OUT_FILE, TAG being the first label of the query's name (the
probe names its phase there). "ready" is written once every socket is bound.
"""
import select
import socket
import sys

GROUPS = {5355: "224.0.0.252", 5353: "224.0.0.251", 137: None}


def main():
    out_path, address = sys.argv[1], sys.argv[2]
    sockets = {}
    for port, group in GROUPS.items():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", port))
        if group:
            membership = socket.inet_aton(group) + socket.inet_aton(address)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        sockets[s] = port
    with open(out_path, "a", encoding="utf-8") as out:
        out.write("ready\n")
        out.flush()
        while True:
            for s in select.select(list(sockets), [], [])[0]:
                data = s.recv(1500)
                length = data[12] if len(data) > 12 else 0
                tag = data[13 : 13 + length].decode("ascii", "replace")
                out.write(f"{sockets[s]} {tag}\n")
                out.flush()


if __name__ == "__main__":
    main()
