"""The interop cases. Each takes the world it runs in, the road and the
binaries, and raises CaseFailure naming what went wrong. A case compares the
captures only once both peers have stopped and every frame they sent has
crossed, so that nothing is on its way when the captures stop; every case ends
with the road stopped, and through rezezura that means the service stopped
with its verifier's summary clean."""

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


CASES = {
    "md5": md5,
    "peap": peap,
    "tls": tls,
    "unicast": unicast,
    "wrong-password": wrong_password,
    "reauth": reauth,
    "logoff": logoff,
    "carrier": carrier,
    "unplug": unplug,
    "two-supplicants": two_supplicants,
}

# Cases that only mean something with the service in the road.
REZEZURA_ONLY = {"unplug"}
