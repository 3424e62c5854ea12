"""Which algorithms an in-process SSH session offers, and why a server
that offers none of them was refused.

The defaults are the system ssh's (OpenSSH 9: no SHA-1 key exchange, no
``ssh-rsa`` host key signatures), so that the in-process link is never
weaker than the program it replaces; the user's ssh configuration and the
``kex``/``hostkeys``/``ciphers``/``macs`` options change them per host.  A
list is given whole, or changes the default as in ssh's configuration:
"+alg" appends, "-alg" removes, "^alg" puts first.
"""
import fnmatch
import socket
import struct

# Option -> (ssh -G entry, the server's KEXINIT field, words).
KINDS = (("kex", "kexalgorithms", 0, "key exchange method"),
         ("hostkeys", "hostkeyalgorithms", 1, "host key type"),
         ("ciphers", "ciphers", 2, "cipher"),
         ("macs", "macs", 4, "MAC"))
OPTIONS = frozenset(kind[0] for kind in KINDS)
# The ssh configuration's spelling of each.
SSH_NAMES = {"kexalgorithms": "KexAlgorithms", "hostkeyalgorithms": "HostKeyAlgorithms", "ciphers": "Ciphers",
             "macs": "MACs"}
# The system ssh's defaults (OpenSSH 9.2) for when no ssh is installed or
# its configuration is not read.
DEFAULTS = {
    "kex": "sntrup761x25519-sha512@openssh.com,curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,"
           "ecdh-sha2-nistp384,ecdh-sha2-nistp521,diffie-hellman-group-exchange-sha256,"
           "diffie-hellman-group16-sha512,diffie-hellman-group18-sha512,diffie-hellman-group14-sha256",
    "hostkeys": "ssh-ed25519-cert-v01@openssh.com,ecdsa-sha2-nistp256-cert-v01@openssh.com,"
                "ecdsa-sha2-nistp384-cert-v01@openssh.com,ecdsa-sha2-nistp521-cert-v01@openssh.com,"
                "rsa-sha2-512-cert-v01@openssh.com,rsa-sha2-256-cert-v01@openssh.com,ssh-ed25519,"
                "ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256",
    "ciphers": "chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr,aes128-gcm@openssh.com,"
               "aes256-gcm@openssh.com",
    "macs": "umac-64-etm@openssh.com,umac-128-etm@openssh.com,hmac-sha2-256-etm@openssh.com,"
            "hmac-sha2-512-etm@openssh.com,hmac-sha1-etm@openssh.com,umac-64@openssh.com,umac-128@openssh.com,"
            "hmac-sha2-256,hmac-sha2-512,hmac-sha1",
}
# Key exchange markers, not methods: always offered where libssh2 has them
# (strict key exchange, the server's signature algorithms).
_MARKERS = ("ext-info-c", "kex-strict-c-v00@openssh.com")
_SERVER_MARKERS = ("ext-info-s", "kex-strict-s-v00@openssh.com")


def _names(value):
    if isinstance(value, str):
        value = value.split(",")
    return [n.strip() for n in value if n.strip()]


def chosen(option, base):
    """The list ``option`` gives (whole, or "+", "-", "^" changes of
    ``base``); ``base`` when it is None."""
    if option is None:
        return list(base)
    names = _names(option)
    first = names[0][:1] if names else ""
    if first not in "+-^" or not first:
        return names
    names = [names[0][1:]] + names[1:]
    if first == "+":
        return list(base) + [n for n in names if n not in base]
    if first == "^":
        return names + [n for n in base if n not in names]
    return [n for n in base if not any(fnmatch.fnmatchcase(n, pattern) for pattern in names)]


def wanted(options, entries):
    """{option: [names]}: the options' lists over the configuration's
    (ssh -G ``entries``, or None) over the defaults."""
    lists = {}
    for name, entry, _, _ in KINDS:
        base = _names((entries or {}).get(entry) or DEFAULTS[name])
        lists[name] = chosen(options.get(name), base)
    return lists


def methods():
    """Option -> the libssh2 method types it sets."""
    from ssh2 import session

    return {"kex": [session.LIBSSH2_METHOD_KEX], "hostkeys": [session.LIBSSH2_METHOD_HOSTKEY],
            "ciphers": [session.LIBSSH2_METHOD_CRYPT_CS, session.LIBSSH2_METHOD_CRYPT_SC],
            "macs": [session.LIBSSH2_METHOD_MAC_CS, session.LIBSSH2_METHOD_MAC_SC]}


def apply(session, lists, methods):
    """Sets the session's preferences: each list as far as libssh2 has its
    algorithms (``methods``: option -> the libssh2 method types).  Returns
    what was left out for want of support, for the log."""
    missing = []
    for name, types in methods.items():
        names = lists[name]
        for kind in types:
            have = set(session.supported_algs(kind))
            usable = [n for n in names if n in have]
            if name == "kex":
                usable += [m for m in _MARKERS if m in have and m not in usable]
            missing += [n for n in names if n not in have and n not in missing]
            if usable:
                session.method_pref(kind, ",".join(usable))
    return missing


def _read(sock, size):
    data = b""
    while len(data) < size:
        piece = sock.recv(size - len(data))
        if not piece:
            raise OSError("the server closed the connection")
        data += piece
    return data


def server_offer(sock):
    """The server's algorithm lists (KEXINIT: kex, host keys, ciphers and
    MACs client to server...), read from a fresh connection ``sock`` after
    sending a version line; OSError when the server says nothing usable."""
    sock.sendall(b"SSH-2.0-tarvix\r\n")
    line = b""
    while not line.startswith(b"SSH-"):
        line = b""
        while not line.endswith(b"\n"):
            piece = sock.recv(1)
            if not piece or len(line) > 1024:
                raise OSError("no SSH version line from the server")
            line += piece
    length, padding = struct.unpack(">IB", _read(sock, 5))
    if not 0 < length < 1 << 18:
        raise OSError("no key exchange offer from the server")
    payload = _read(sock, length - 1)[:length - 1 - padding]
    if payload[:1] != b"\x14":
        raise OSError("no key exchange offer from the server")
    fields, at = [], 17
    while len(fields) < 10 and at + 4 <= len(payload):
        size = struct.unpack(">I", payload[at:at + 4])[0]
        fields.append(payload[at + 4:at + 4 + size].decode("ascii", "replace").split(","))
        at += 4 + size
    return fields


def refusal(lists, offer):
    """The line for a failed key exchange: the first kind where the two
    sides share nothing, both sides' algorithms named; None if they share
    something of every kind (the failure is another)."""
    for name, entry, field, words in KINDS:
        if field >= len(offer):
            continue
        ours = lists[name]
        theirs = [n for n in offer[field] if n not in _SERVER_MARKERS]
        if not set(ours) & set(theirs):
            return ("no matching %s: the server offers %s; this link allows %s (allow one with ssh={%r: [...]} "
                    "or %s in the ssh configuration)" % (words, ",".join(theirs), ",".join(ours), name,
                                                       SSH_NAMES[entry]))
    return None


def probe(connect, lists, timeout):
    """Why the server behind ``connect()`` (a fresh socket to it) refused
    the key exchange, or None when that cannot be told."""
    try:
        sock = connect()
    except Exception:  # the server is not reached again: nothing to tell
        return None
    try:
        sock.settimeout(timeout)
        return refusal(lists, server_offer(sock))
    except (OSError, socket.timeout, struct.error):
        return None
    finally:
        sock.close()
