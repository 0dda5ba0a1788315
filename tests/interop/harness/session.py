"""One authentication set up end to end: the namespaces and veth pairs, hostapd
and its capture on the far end of each pair, the road on the near end, a
wpa_supplicant and its capture on the road's port; and the frame comparison
once it is over."""

from . import capture, certs, frames, peers, roads


class Link:
    """One veth pair: the near end (an adapter for rezezura, or the direct
    supplicant's interface) and the far end where hostapd listens."""

    def __init__(self, world, near, far, index):
        self.adapter = "s%d" % index
        self.far_if = "a%d" % index
        self.index = index
        world.veth(near, self.adapter, far, self.far_if)
        self.near_mac = near.mac(self.adapter)
        self.authenticator = None
        self.supplicant = None
        self.far_capture = None
        self.near_capture = None


class Session:
    def __init__(self, world, road, binaries=None, links=1, tls=False, pae_group=True,
                 reauth_period=0, image=None, service_options=()):
        self.world = world
        self.certs = certs.make(world) if tls else None
        self.near = world.namespace("supplicant")
        self.far = world.namespace("authenticator")
        self.links = [Link(world, self.near, self.far, index) for index in range(links)]
        for link in self.links:
            link.far_capture = capture.Capture(world, self.far, link.far_if, "capture-" + link.far_if)
            link.authenticator = peers.Authenticator(world, self.far, link.far_if, self.certs, pae_group,
                                                     reauth_period, name="hostapd-" + link.far_if)
        self.road = roads.make(road, world, self.near, [link.adapter for link in self.links],
                               binaries or {}, image, service_options)
        for link in self.links:
            link.port = self.road.port(link.adapter)
            link.near_capture = capture.Capture(world, self.near, link.port, "capture-" + link.port)
        for link in self.links:
            link.far_capture.ready()
            link.near_capture.ready()

    def start_supplicant(self, link, method, password=None):
        network = peers.network_block(method, self.certs, password)
        link.supplicant = peers.Supplicant(self.world, self.near, link.port, network,
                                           name="wpa_supplicant-" + link.port)
        return link.supplicant

    def noise(self, link):
        """ARP, IPv4 and VLAN-tagged EAPOL from the far end, to the near end's
        own address, to broadcast and to the PAE group; none may reach a
        supplicant through rezezura."""
        near, far = link.near_mac, link.authenticator.mac
        capture.inject(self.far, link.far_if, [
            frames.arp_request(far),
            frames.ipv4_udp(near, far),
            frames.ipv4_udp("ff:ff:ff:ff:ff:ff", far),
            frames.vlan_tagged_eapol_start(near, far),
            frames.vlan_tagged_eapol_start(frames.PAE_GROUP, far)])

    def stop_peers(self):
        """Stops every supplicant, then every authenticator, each reaped, so
        that neither peer sends anything more; what they sent last may still
        be crossing."""
        for link in self.links:
            if link.supplicant:
                link.supplicant.program.stop()
        for link in self.links:
            link.authenticator.program.stop()

    def _settle(self, link, timeout=10):
        """Once the peers have stopped: waits until every EAPOL frame each
        peer sent has reached the other side's capture, so that the wire is
        quiet when the captures stop. A frame that never arrives leaves the
        wait at the time-out, and the comparison names it."""
        near, far = link.near_capture, link.far_capture
        near.flush()
        far.flush()
        supplicant_mac, authenticator_mac = near.mac, link.authenticator.mac
        far.wait_eapol(supplicant_mac, near.eapol_count(supplicant_mac), timeout)
        near.wait_eapol(authenticator_mac, far.eapol_count(authenticator_mac), timeout)

    def compare_frames(self, link):
        """Once the peers have stopped (stop_peers): waits for a quiet wire,
        stops both captures of `link` and returns the problems: each EAPOL
        frame hostapd sent must reach the supplicant unchanged and in order,
        and each one the supplicant sent must reach hostapd; through rezezura
        nothing else may cross either way."""
        self._settle(link)
        far = link.far_capture.frames()
        near = link.near_capture.frames()
        supplicant_mac = link.near_capture.mac
        authenticator_sent = [f for f in frames.eapol_frames(far) if frames.source(f) == link.authenticator.mac]
        supplicant_got = [f for f in near if frames.source(f) != supplicant_mac]
        supplicant_sent = [f for f in frames.eapol_frames(near) if frames.source(f) == supplicant_mac]
        authenticator_got = [f for f in far if frames.source(f) == supplicant_mac]
        if not self.road.strict:
            supplicant_got = frames.eapol_frames(supplicant_got)
            authenticator_got = frames.eapol_frames(authenticator_got)
        problems = frames.compare(authenticator_sent, supplicant_got,
                                  "hostapd on %s to the supplicant" % link.far_if)
        problems += frames.compare(supplicant_sent, authenticator_got,
                                   "the supplicant on %s to hostapd" % link.port)
        if not authenticator_sent or not supplicant_sent:
            problems.append("no EAPOL frames captured on %s or %s" % (link.far_if, link.port))
        self.largest_frame = max([len(f) for f in authenticator_sent + supplicant_sent] or [0])
        self.frame_count = len(authenticator_sent) + len(supplicant_sent)
        return problems

    def finish(self):
        """Ends the session on a quiet wire: the peers stop, every link's
        frames are compared, then the road stops. Returns the problems."""
        self.stop_peers()
        problems = []
        for link in self.links:
            problems += self.compare_frames(link)
        return problems + self.road.stop()
