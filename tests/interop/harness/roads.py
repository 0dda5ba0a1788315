"""The two roads from a supplicant to the wire. Direct: wpa_supplicant on the
near end of the veth pair itself, the baseline. Through rezezura:
rezezura-host bound to the near end, and wpa_supplicant on the TAP of a
`relayctl bridge` to it."""

import os
import signal


class Direct:
    name = "direct"
    strict = False  # a plain wire carries everything, not only EAPOL

    def __init__(self, world, near, adapters):
        self.near = near

    def port(self, adapter):
        return adapter

    def stop(self):
        return []


class Rezezura:
    """The service bound to every named adapter of the near namespace, one
    bridge per adapter; stop() ends them in order and returns what went wrong."""

    name = "rezezura"
    strict = True  # only the EAPOL frames of the two peers may cross

    def __init__(self, world, near, adapters, binaries, image=None, service_options=()):
        self.world = world
        self.near = near
        self.binaries = binaries
        self.socket = world.path("control")
        self.env = dict(os.environ, REZEZURA_SOCKET=self.socket)
        self.argv = [binaries["rezezura-host"], "--socket", self.socket]
        for adapter in adapters:
            self.argv += ["--adapter", adapter]
        if image:
            self.argv += ["--image", image]
        self.argv += list(service_options)
        self.image = image
        self.starts = 0
        self.service = self.start_service()
        self.bridges = {}
        for index, adapter in enumerate(adapters):
            self.bridges[adapter] = self.bridge(adapter, "tap%d" % index)

    def start_service(self):
        """The service on the road's socket, once it serves; a start after
        the first is named for its turn."""
        self.starts += 1
        name = "rezezura-host" if self.starts == 1 else "rezezura-host-%d" % self.starts
        service = self.world.start(name, self.argv, namespace=self.near, env=self.env)
        serving = service.wait_for(r"^rezezura-host: serving", 30, what="'rezezura-host: serving'")
        if self.image and not serving.text.endswith(" with the image " + self.image):
            raise RuntimeError("rezezura-host does not run the image %s: %s" % (self.image, serving.text))
        service.serving = serving
        return service

    def bridge(self, adapter, tap):
        name = "relayctl-bridge-" + adapter
        taken = sum(1 for program in self.world.programs if program.name.startswith(name))
        program = self.world.start(name if taken == 0 else "%s-%d" % (name, taken + 1),
                                   [self.binaries["relayctl"], "bridge", adapter, tap],
                                   namespace=self.near, env=self.env)
        program.wait_for(r"bridging \S+ <-> %s" % tap, 15, what="'bridging ... <-> %s'" % tap)
        program.tap = tap
        return program

    def port(self, adapter):
        return self.bridges[adapter].tap

    def stop(self):
        problems = []
        for adapter, bridge in self.bridges.items():
            if bridge.running():
                status = bridge.stop(signal.SIGTERM)
                if status != 0:
                    problems.append("relayctl bridge %s ended with status %s on SIGTERM" % (adapter, status))
        status = self.service.stop(signal.SIGTERM, timeout=20)
        verdict = self.service.lines[-1] if self.service.lines else "(nothing)"
        if status != 0:
            problems.append("rezezura-host ended with status %s on SIGTERM; its last line: %s"
                            % (status, verdict))
        return problems


def make(road, world, near, adapters, binaries, image=None, service_options=()):
    if road == "direct":
        return Direct(world, near, adapters)
    if road == "rezezura":
        return Rezezura(world, near, adapters, binaries, image, service_options)
    if road == "image":
        return Rezezura(world, near, adapters, binaries, image or binaries["image"], service_options)
    raise ValueError("no such road: %s" % road)
