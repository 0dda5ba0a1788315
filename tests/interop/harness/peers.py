"""The two real 802.1X peers: hostapd as the authenticator on a wired port
with its own EAP server, and wpa_supplicant on a wired interface."""

from . import processes

# One user file serves every method; a case picks the method by its
# supplicant's network block. Phase 1 of PEAP goes by the anonymous identity,
# which the wildcard catches after the named users.
USERS = """\
"md5user" MD5 "md5-secret"
"tlsuser" TLS
* PEAP
"peapuser" MSCHAPV2 "peap-secret" [2]
"""

# TLS data per EAP fragment such that the largest EAPOL frame is exactly
# 1514 bytes: 14 of Ethernet, 4 of EAPOL, 10 of EAP-TLS header and length.
FRAGMENT_SIZE = 1486

METHODS = ("md5", "peap", "tls")


def network_block(method, certs=None, password=None):
    """The supplicant's network block for `method`; `password` replaces the
    right one (a wrong password case)."""
    common = ["key_mgmt=IEEE8021X", "eapol_flags=0"]
    if method == "md5":
        lines = ['eap=MD5', 'identity="md5user"', 'password="%s"' % (password or "md5-secret")]
    elif method == "peap":
        lines = ['eap=PEAP', 'identity="peapuser"', 'anonymous_identity="anonymous"',
                 'password="%s"' % (password or "peap-secret"), 'phase2="auth=MSCHAPV2"',
                 'ca_cert="%s"' % certs["root"], 'fragment_size=%d' % FRAGMENT_SIZE]
    elif method == "tls":
        lines = ['eap=TLS', 'identity="tlsuser"', 'ca_cert="%s"' % certs["root"],
                 'client_cert="%s"' % certs["client_chain"], 'private_key="%s"' % certs["client_key"],
                 'fragment_size=%d' % FRAGMENT_SIZE]
    else:
        raise ValueError("no such method: %s" % method)
    return "network={\n" + "".join("    %s\n" % line for line in common + lines) + "}\n"


class Authenticator:
    """hostapd on one wired interface; `pae_group` makes it address the PAE
    group rather than the supplicant's own address."""

    def __init__(self, world, namespace, ifname, certs=None, pae_group=True, reauth_period=0,
                 name="hostapd"):
        self.mac = namespace.mac(ifname)
        users = world.write(name + ".users", USERS)
        lines = ["interface=" + ifname, "driver=wired", "logger_stdout=-1",
                 "logger_stdout_level=1", "ieee8021x=1", "eap_server=1",
                 "eap_user_file=" + users, "use_pae_group_addr=%d" % int(pae_group),
                 "eap_reauth_period=%d" % reauth_period, "fragment_size=%d" % FRAGMENT_SIZE]
        if certs:
            lines += ["ca_cert=" + certs["authenticator_cas"], "server_cert=" + certs["server_chain"],
                      "private_key=" + certs["server_key"]]
        config = world.write(name + ".conf", "\n".join(lines) + "\n")
        self.program = world.start(name, ["hostapd", config], namespace=namespace)
        self.program.wait_for(r"AP-ENABLED", 15, what="AP-ENABLED (its port ready)")

    def wait_success(self, station, timeout=30, since=0):
        return self.program.wait_for(r"CTRL-EVENT-EAP-SUCCESS %s" % station, timeout, since,
                                     what="EAP success for %s" % station)


class Supplicant:
    """wpa_supplicant with the wired driver on one interface, its control
    socket in the world's folder for wpa_cli."""

    def __init__(self, world, namespace, ifname, network, name="wpa_supplicant"):
        self.ifname = ifname
        self.control = world.path(name + ".ctrl")
        config = world.write(name + ".conf", "ctrl_interface=%s\nap_scan=0\n%s" % (self.control, network))
        self.program = world.start(name, ["wpa_supplicant", "-d", "-D", "wired", "-i", ifname,
                                          "-c", config], namespace=namespace)
        self.program.wait_for(r"Added interface %s|Successfully initialized" % ifname, 15,
                              what="its start on %s" % ifname)

    def wait_success(self, timeout=30, since=0):
        return self.program.wait_for(r"CTRL-EVENT-EAP-SUCCESS", timeout, since,
                                     what="CTRL-EVENT-EAP-SUCCESS")

    def wait_failure(self, timeout=30, since=0):
        return self.program.wait_for(r"CTRL-EVENT-EAP-FAILURE", timeout, since,
                                     what="CTRL-EVENT-EAP-FAILURE")

    def cli(self, *command):
        answer = processes.run(["wpa_cli", "-p", self.control, "-i", self.ifname] + list(command)).strip()
        if answer.endswith("FAIL"):
            raise RuntimeError("wpa_cli %s answered %s" % (" ".join(command), answer))
        return answer
