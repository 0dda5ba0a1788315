"""The interop cases. Each takes the world it runs in, the road and the
binaries, and raises CaseFailure naming what went wrong. A case compares the
captures only once both peers have stopped and every frame they sent has
crossed, so that nothing is on its way when the captures stop; every case ends
with the road stopped, and through rezezura that means the service stopped
with its verifier's summary clean."""

import time

from . import capture as capture_module
from . import frames, processes
from .processes import WaitTimeout
from .session import Session


class CaseFailure(Exception):
    pass


def expect(problems):
    if problems:
        raise CaseFailure("\n".join(problems))


def _finish(session):
    expect(session.finish())


def _authenticate(road, world, binaries, method, **options):
    session = Session(world, road, binaries, tls=method != "md5", **options)
    link = session.links[0]
    session.noise(link)
    supplicant = session.start_supplicant(link, method)
    supplicant.wait_success()
    link.authenticator.wait_success(link.near_mac)
    session.noise(link)
    _finish(session)
    return session


def md5(road, world, binaries, **options):
    """EAP-MD5 with the authenticator addressing the PAE group."""
    return _authenticate(road, world, binaries, "md5", **options)


def peap(road, world, binaries, **options):
    """PEAP with MSCHAPv2 inside."""
    return _authenticate(road, world, binaries, "peap", **options)


def tls(road, world, binaries, **options):
    """EAP-TLS, both sides with certificates; the flights span many frames of
    up to 1514 bytes."""
    session = _authenticate(road, world, binaries, "tls", **options)
    if session.largest_frame != 1514:
        raise CaseFailure("the largest EAPOL frame was %d bytes, not the 1514 the fragment size makes"
                          % session.largest_frame)
    return session


def every_frame(road, world, binaries, **options):
    """EAP-MD5 with the service offering the driver every frame of the
    interface, as NDIS offers a protocol every frame of its adapter, rather
    than only what its socket filter lets out of the kernel: the driver's own
    filter still keeps all but the EAPOL from crossing."""
    return _authenticate(road, world, binaries, "md5", service_options=("--every-frame",), **options)


def unicast(road, world, binaries, **options):
    """EAP-MD5 with the authenticator addressing the supplicant's own address."""
    return _authenticate(road, world, binaries, "md5", pae_group=False, **options)


def wrong_password(road, world, binaries, **options):
    """The supplicant is told of the failure; nothing hangs."""
    session = Session(world, road, binaries, **options)
    link = session.links[0]
    supplicant = session.start_supplicant(link, "md5", password="not-the-secret")
    supplicant.wait_failure()
    link.authenticator.program.wait_for(r"CTRL-EVENT-EAP-FAILURE %s" % link.near_mac, 15,
                                        what="EAP failure for %s" % link.near_mac)
    _finish(session)


def reauth(road, world, binaries, **options):
    """hostapd authenticates the supplicant again every two seconds; two
    re-authentications are awaited."""
    session = Session(world, road, binaries, reauth_period=2, **options)
    link = session.links[0]
    supplicant = session.start_supplicant(link, "md5")
    first = supplicant.wait_success()
    second = supplicant.wait_success(timeout=15, since=first.index + 1)
    supplicant.wait_success(timeout=15, since=second.index + 1)
    _finish(session)


def logoff(road, world, binaries, **options):
    """EAPOL-Logoff, then a new EAPOL-Start and authentication."""
    session = Session(world, road, binaries, **options)
    link = session.links[0]
    supplicant = session.start_supplicant(link, "md5")
    first = supplicant.wait_success()
    hostapd = link.authenticator.program
    mark = hostapd.mark()
    supplicant.cli("logoff")
    hostapd.wait_for(r"received EAPOL-Logoff from STA", 15, mark, what="the EAPOL-Logoff")
    # hostapd forgets a station that logged off a few seconds later, and
    # ignores its EAPOL-Start until then.
    hostapd.wait_for(r"deauthenticated due to local deauth request", 15, mark,
                     what="that it forgot the station")
    mark = hostapd.mark()
    supplicant.cli("logon")
    hostapd.wait_for(r"received EAPOL-Start from STA", 15, mark, what="a new EAPOL-Start")
    supplicant.wait_success(since=first.index + 1)
    _finish(session)


def _wait_until_listening(session, monitor, port):
    """ip prints nothing when it starts, and hears only the changes after it
    has subscribed: the port's queue length is changed until it reports one."""
    for attempt in range(40):
        session.near.ip("link", "set", port, "txqueuelen", str(1000 + attempt))
        try:
            return monitor.wait_for(r"%s" % port, 0.25, what="a change of the port's queue length")
        except WaitTimeout:
            continue
    raise WaitTimeout("ip-monitor reported no change of %s's queue length in 40 tries" % port)


def carrier(road, world, binaries, **options):
    """The far end goes down and up in the middle of a session: the port the
    supplicant runs on loses its carrier and gets it back (through rezezura:
    the bridge mirrors the media indications to the TAP), and the supplicant,
    told to by whoever minds the link, authenticates again."""
    session = Session(world, road, binaries, **options)
    link = session.links[0]
    supplicant = session.start_supplicant(link, "md5")
    first = supplicant.wait_success()
    monitor = world.start("ip-monitor", ["ip", "-o", "monitor", "link", "dev", link.port],
                          namespace=session.near)
    listening = _wait_until_listening(session, monitor, link.port)
    session.far.ip("link", "set", link.far_if, "down")
    down = monitor.wait_for(r"NO-CARRIER", 15, listening.index + 1, what="NO-CARRIER on %s" % link.port)
    session.far.ip("link", "set", link.far_if, "up")
    monitor.wait_for(r"<(?!.*NO-CARRIER).*LOWER_UP", 15, down.index + 1,
                     what="the carrier back on %s" % link.port)
    monitor.stop()
    supplicant.cli("reauthenticate")
    supplicant.wait_success(since=first.index + 1)
    _finish(session)


def unplug(road, world, binaries, **options):
    """The interface is deleted under the bridge: the bridge exits with a clear
    line and a non-zero status, the service unbinds, nothing is left behind."""
    session = Session(world, road, binaries, **options)
    link = session.links[0]
    supplicant = session.start_supplicant(link, "md5")
    supplicant.wait_success()
    # The frames of the authentication, on a quiet wire, before the interface goes.
    session.stop_peers()
    problems = session.compare_frames(link)
    bridge = session.road.bridges[link.adapter]
    session.near.ip("link", "del", link.adapter)
    try:
        status = bridge.wait_exit(15)
    except WaitTimeout as timeout:
        raise CaseFailure("relayctl bridge went on after its adapter was deleted: %s" % timeout)
    try:
        session.road.service.wait_for(r"unbound", 10, what="that the driver unbound %s" % link.adapter)
    except WaitTimeout as timeout:
        problems.append(str(timeout))
    if status == 0:
        problems.append("relayctl bridge exited 0 after its adapter was deleted")
    if not bridge.lines or "relayctl" not in bridge.lines[-1]:
        problems.append("relayctl bridge's last line does not say what happened: %r"
                        % (bridge.lines[-1] if bridge.lines else ""))
    links = session.near.ip("-o", "link", "show")
    if link.port in links:
        problems.append("the TAP %s is still there after the bridge ended" % link.port)
    problems += session.road.stop()
    expect(problems)


def two_supplicants(road, world, binaries, **options):
    """Two supplicants on two veth pairs through one service at once."""
    session = Session(world, road, binaries, links=2, **options)
    supplicants = [session.start_supplicant(link, "md5") for link in session.links]
    for supplicant, link in zip(supplicants, session.links):
        session.noise(link)
        supplicant.wait_success()
        link.authenticator.wait_success(link.near_mac)
    _finish(session)


def _hold_tls_responses(session, link, held):
    """While `held`, each EAP-TLS response the service sends out of the
    adapter's interface is dropped there (a class of its queueing discipline
    that keeps nothing): an authentication that has begun EAP-TLS stays under
    way, hostapd asking for the TLS handshake again and again, until the hold
    ends."""
    tc = ["tc", "-n", session.near.name]
    if not held:
        processes.run(tc + ["qdisc", "del", "dev", link.adapter, "root"])
        return
    for command in (["qdisc", "add", "dev", link.adapter, "root", "handle", "1:", "htb", "default", "1",
                     "r2q", "100000"],
                    ["class", "add", "dev", link.adapter, "parent", "1:", "classid", "1:1", "htb", "rate", "1gbit"],
                    ["class", "add", "dev", link.adapter, "parent", "1:", "classid", "1:2", "htb", "rate", "1gbit"],
                    ["qdisc", "add", "dev", link.adapter, "parent", "1:2", "pfifo", "limit", "0"],
                    # From the start of the EAPOL header: type 0 (EAP) at 1,
                    # code 2 (Response) at 4, type 13 (TLS) at 8.
                    ["filter", "add", "dev", link.adapter, "parent", "1:", "protocol", "0x888e", "u32",
                     "match", "u8", "0x00", "0xff", "at", "1", "match", "u8", "0x02", "0xff", "at", "4",
                     "match", "u8", "0x0d", "0xff", "at", "8", "flowid", "1:2"]):
        processes.run(tc + command)


def _restart(road, world, binaries, service_options, **options):
    session = Session(world, road, binaries, tls=True, service_options=service_options, **options)
    link = session.links[0]
    hostapd = link.authenticator.program
    _hold_tls_responses(session, link, True)
    supplicant = session.start_supplicant(link, "tls")
    # The kill comes while the authentication is under way: the identity
    # crossed, EAP-TLS began, and hostapd has not had the supplicant's
    # ClientHello. What hostapd asks again after it (its TLS start) any
    # supplicant may answer, and so may the one started after the restart.
    supplicant.program.wait_for(r"CTRL-EVENT-EAP-METHOD EAP vendor 0 method 13", 30,
                                what="that EAP-TLS began")
    hostapd.wait_for(r"CTRL-EVENT-EAP-RETRANSMIT", 15, what="that it asked again for the TLS handshake")
    road = session.road
    killed_at = time.monotonic()
    road.service.process.kill()
    road.service.wait_exit(10)
    _hold_tls_responses(session, link, False)
    if supplicant.program.count(r"CTRL-EVENT-EAP-SUCCESS"):
        raise CaseFailure("the supplicant had authenticated before the service was killed")
    bridge = road.bridges[link.adapter]
    try:
        bridge.wait_exit(15)
    except WaitTimeout as timeout:
        raise CaseFailure("relayctl bridge went on after its service was killed: %s" % timeout)
    supplicant.program.stop()
    for capture in (link.near_capture, link.far_capture):
        capture.program.stop()

    road.service = road.start_service()
    serving_at = road.service.serving.time
    # The bridge put the PAE group on the adapter's multicast list: on the
    # packet-socket road that went with the killed service's socket; on the
    # interface's own road it stayed, and the new service undoes it.
    undone = [line for line in road.service.lines if "did not stop left changes" in line]
    expected = ["rezezura-host: a service that did not stop left changes on its interfaces; undid multicast "
                "%s on %s" % (frames.PAE_GROUP, link.adapter)] if service_options else []
    if undone != expected:
        raise CaseFailure("the new service said %r of what the killed one left, not %r" % (undone, expected))
    road.bridges[link.adapter] = road.bridge(link.adapter, bridge.tap)
    # Only what is sent from here on is compared: what was under way at the
    # kill went with the service.
    link.far_capture = capture_module.Capture(world, session.far, link.far_if, "capture-after-" + link.far_if)
    link.near_capture = capture_module.Capture(world, session.near, link.port, "capture-after-" + link.port)
    link.far_capture.ready()
    link.near_capture.ready()
    mark = hostapd.mark()
    told_at = time.monotonic()
    supplicant = session.start_supplicant(link, "tls")
    success = supplicant.wait_success()
    # Its EAP began with hostapd's request for its identity, or, where
    # hostapd asked again for the old conversation's TLS start before the
    # supplicant's EAPOL-Start went out, with that request.
    began = supplicant.program.wait_for(r"CTRL-EVENT-EAP-(STARTED|PROPOSED-METHOD)", 1, what="that its EAP began")
    link.authenticator.wait_success(link.near_mac, since=mark)
    _finish(session)
    print("restart: serving again %.0f ms after the kill; authenticated again %.0f ms after the kill, "
          "%.0f ms after the supplicant's start, %.0f ms after its EAP began; %d EAPOL frames sent after the "
          "restart, every one delivered"
          % ((serving_at - killed_at) * 1000, (success.time - killed_at) * 1000, (success.time - told_at) * 1000,
             (success.time - began.time) * 1000, session.frame_count), flush=True)


def restart(road, world, binaries, **options):
    """The service is killed (SIGKILL) in the middle of an EAP-TLS
    authentication and started again, as a person or systemd would; the
    bridge, which ends with its service, is started again, and so is the
    supplicant, whose port went with the bridge. It authenticates again, and
    every EAPOL frame either peer sent after the restart crosses."""
    _restart(road, world, binaries, (), **options)


def restart_interface_road(road, world, binaries, **options):
    """restart with the service asking for no packet-socket options: the
    multicast address the killed service put on the interface itself is
    undone by the next one before it serves."""
    _restart(road, world, binaries, ("--no-packet-options",), **options)


CASES = {
    "md5": md5,
    "peap": peap,
    "tls": tls,
    "every-frame": every_frame,
    "unicast": unicast,
    "wrong-password": wrong_password,
    "reauth": reauth,
    "logoff": logoff,
    "carrier": carrier,
    "unplug": unplug,
    "two-supplicants": two_supplicants,
    "restart": restart,
    "restart-interface-road": restart_interface_road,
}

# Cases that only mean something with the service in the road.
REZEZURA_ONLY = {"every-frame", "unplug", "restart", "restart-interface-road"}
