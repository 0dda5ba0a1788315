"""Certificates made for each run: a root, an intermediate that signs the
server's and the client's certificates, and a server certificate carrying many
names, so that the server's TLS flight spans many EAPOL frames."""

from . import processes

SERVER_NAMES = 120


def _ext(world, name, lines):
    return world.write(name, "\n".join(lines) + "\n")


def _key_and_request(world, stem, subject):
    processes.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes",
                   "-keyout", world.path(stem + ".key"), "-out", world.path(stem + ".csr"),
                   "-subj", subject])


def _sign(world, stem, issuer, serial, ext):
    processes.run(["openssl", "x509", "-req", "-in", world.path(stem + ".csr"),
                   "-CA", world.path(issuer + ".pem"), "-CAkey", world.path(issuer + ".key"),
                   "-set_serial", str(serial), "-days", "2", "-sha256",
                   "-extfile", ext, "-out", world.path(stem + ".pem")])


def make(world):
    """Writes the files into the world's folder and returns their paths."""
    processes.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                   "-keyout", world.path("root.key"), "-out", world.path("root.pem"),
                   "-subj", "/O=rezezura interop/CN=root",
                   "-addext", "basicConstraints=critical,CA:TRUE",
                   "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    ca_ext = _ext(world, "ca.ext", ["basicConstraints=critical,CA:TRUE,pathlen:0",
                                    "keyUsage=critical,keyCertSign,cRLSign"])
    _key_and_request(world, "intermediate", "/O=rezezura interop/CN=intermediate")
    _sign(world, "intermediate", "root", 2, ca_ext)

    names = ",".join("DNS:authenticator-%03d.interop.test" % n for n in range(SERVER_NAMES))
    server_ext = _ext(world, "server.ext", ["basicConstraints=CA:FALSE",
                                            "keyUsage=critical,digitalSignature,keyEncipherment",
                                            "extendedKeyUsage=serverAuth",
                                            "subjectAltName=" + names])
    _key_and_request(world, "server", "/O=rezezura interop/CN=authenticator")
    _sign(world, "server", "intermediate", 3, server_ext)

    client_ext = _ext(world, "client.ext", ["basicConstraints=CA:FALSE",
                                            "keyUsage=critical,digitalSignature",
                                            "extendedKeyUsage=clientAuth"])
    _key_and_request(world, "client", "/O=rezezura interop/CN=tlsuser")
    _sign(world, "client", "intermediate", 4, client_ext)

    def chain(name, *parts):
        text = "".join(open(world.path(part + ".pem")).read() for part in parts)
        return world.write(name, text)

    return {
        "root": world.path("root.pem"),
        "server_chain": chain("server-chain.pem", "server", "intermediate"),
        "server_key": world.path("server.key"),
        "client_chain": chain("client-chain.pem", "client", "intermediate"),
        "client_key": world.path("client.key"),
        "authenticator_cas": chain("authenticator-cas.pem", "root", "intermediate"),
    }
