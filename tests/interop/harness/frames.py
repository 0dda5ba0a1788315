"""Ethernet frames: reading the captures, making the frames a case puts on the
wire, and comparing what one side sent with what the other side received."""

import struct

EAPOL = 0x888E
VLAN = 0x8100
MARKER = 0x88B5  # the local experimental type; ends a capture (see capture.py)
PAE_GROUP = "01:80:c2:00:00:03"
_LINKTYPE_ETHERNET = 1


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", ""))


def mac_text(raw):
    return ":".join("%02x" % b for b in raw)


def read_pcap(path):
    """The frames of a classic pcap file of Ethernet frames, in order."""
    with open(path, "rb") as capture:
        data = capture.read()
    magic = data[:4]
    if magic == b"\xd4\xc3\xb2\xa1":
        order = "<"
    elif magic == b"\xa1\xb2\xc3\xd4":
        order = ">"
    else:
        raise ValueError("%s is not a pcap file" % path)
    linktype = struct.unpack(order + "I", data[20:24])[0]
    if linktype != _LINKTYPE_ETHERNET:
        raise ValueError("%s holds link type %d, not Ethernet" % (path, linktype))
    frames, offset = [], 24
    while offset + 16 <= len(data):
        included, original = struct.unpack(order + "II", data[offset + 8:offset + 16])
        if included != original:
            raise ValueError("%s cut a frame of %d bytes to %d" % (path, original, included))
        frames.append(data[offset + 16:offset + 16 + included])
        offset += 16 + included
    return frames


def ethertype(frame):
    return struct.unpack("!H", frame[12:14])[0]


def source(frame):
    return mac_text(frame[6:12])


def describe(frame):
    """One line for a person: addresses, type, and for EAPOL its packet type
    and, for EAP packets, code, identifier and method."""
    text = "%s > %s type 0x%04x len %d" % (source(frame), mac_text(frame[0:6]),
                                           ethertype(frame), len(frame))
    if ethertype(frame) == EAPOL and len(frame) >= 18:
        kind = {0: "EAP-Packet", 1: "Start", 2: "Logoff", 3: "Key"}.get(frame[15], "type %d" % frame[15])
        text += " EAPOL %s" % kind
        if frame[15] == 0 and len(frame) >= 22:
            code = {1: "Request", 2: "Response", 3: "Success", 4: "Failure"}.get(frame[18], str(frame[18]))
            text += " %s id %d" % (code, frame[19])
            if frame[18] in (1, 2) and len(frame) > 22:
                text += " method %d" % frame[22]
    return text


def ethernet(destination, source_mac, ether_type, payload):
    return mac_bytes(destination) + mac_bytes(source_mac) + struct.pack("!H", ether_type) + payload


def arp_request(source_mac):
    payload = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + mac_bytes(source_mac) + bytes([10, 99, 0, 1]) \
        + bytes(6) + bytes([10, 99, 0, 2])
    return ethernet("ff:ff:ff:ff:ff:ff", source_mac, 0x0806, payload.ljust(46, b"\0"))


def ipv4_udp(destination, source_mac):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28 + 18, 1, 0, 64, 17, 0,
                         bytes([10, 99, 0, 1]), bytes([10, 99, 0, 2]))
    udp = struct.pack("!HHHH", 4000, 4001, 8 + 18, 0) + b"not an EAPOL frame"
    return ethernet(destination, source_mac, 0x0800, header + udp)


def vlan_tagged_eapol_start(destination, source_mac):
    tag = struct.pack("!HH", 7, EAPOL)
    return ethernet(destination, source_mac, VLAN, tag + bytes([2, 1, 0, 0]).ljust(42, b"\0"))


def eapol_frames(frames):
    return [frame for frame in frames if ethertype(frame) == EAPOL]


def compare(sent, received, what):
    """Problems, one line each, unless `received` is `sent`: the same frames,
    byte for byte, in the same order, nothing more and nothing less."""
    problems = []
    for index in range(max(len(sent), len(received))):
        if index >= len(received):
            problems.append("%s: frame %d never arrived: %s" % (what, index + 1, describe(sent[index])))
        elif index >= len(sent):
            problems.append("%s: frame %d arrived but was never sent: %s"
                            % (what, index + 1, describe(received[index])))
        elif sent[index] != received[index]:
            problems.append("%s: frame %d changed on the way:\n    sent     %s\n    received %s\n"
                            "    sent     %s\n    received %s"
                            % (what, index + 1, describe(sent[index]), describe(received[index]),
                               sent[index].hex(), received[index].hex()))
        if len(problems) >= 5:
            problems.append("%s: %d frames sent, %d received" % (what, len(sent), len(received)))
            break
    return problems
