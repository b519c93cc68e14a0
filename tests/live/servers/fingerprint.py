"""ClientHello parsing and the JA3 / JA4 fingerprints (the recording server
is browser_recorder.py)."""
import hashlib
import struct


def is_grease(value):
    return value & 0x0F0F == 0x0A0A and value >> 8 == value & 0xFF


class ClientHello:
    def __init__(self, data):
        """`data`: the bytes of the first TLS record (a ClientHello)."""
        if len(data) < 9 or data[0] != 22 or data[5] != 1:
            raise ValueError("not a ClientHello record")
        body = data[9:9 + int.from_bytes(data[6:9], "big")]
        self.message_length = 4 + len(body)     # the handshake message, as padding counts it
        self.legacy_version = struct.unpack(">H", body[0:2])[0]
        pos = 34
        pos += 1 + body[pos]                                   # session id
        n = struct.unpack(">H", body[pos:pos + 2])[0]
        self.ciphers = list(struct.unpack(f">{n // 2}H", body[pos + 2:pos + 2 + n]))
        pos += 2 + n
        pos += 1 + body[pos]                                   # compression methods
        end = pos + 2 + struct.unpack(">H", body[pos:pos + 2])[0]
        pos += 2
        self.extensions, self.bodies = [], {}
        while pos < end:
            kind, size = struct.unpack(">HH", body[pos:pos + 4])
            self.extensions.append(kind)
            self.bodies[kind] = body[pos + 4:pos + 4 + size]
            pos += 4 + size

    def _u16s(self, kind, skip):
        raw = self.bodies.get(kind, b"")[skip:]
        return [v for (v,) in struct.iter_unpack(">H", raw[:len(raw) // 2 * 2])]

    @property
    def groups(self):
        return self._u16s(10, 2)

    @property
    def sigalgs(self):
        return self._u16s(13, 2)

    @property
    def versions(self):
        return self._u16s(43, 1)

    @property
    def key_share_groups(self):
        """The group of each key share, in order."""
        raw, out, pos = self.bodies.get(51, b"")[2:], [], 0
        while pos + 4 <= len(raw):
            group, size = struct.unpack(">HH", raw[pos:pos + 4])
            out.append(group)
            pos += 4 + size
        return out

    @property
    def point_formats(self):
        return list(self.bodies.get(11, b"\x00")[1:])

    @property
    def alpn(self):
        raw, out, pos = self.bodies.get(16, b""), [], 2
        while pos < len(raw):
            out.append(raw[pos + 1:pos + 1 + raw[pos]].decode())
            pos += 1 + raw[pos]
        return out

    @property
    def server_name(self):
        raw = self.bodies.get(0)
        return raw[5:].decode() if raw else ""

    def ja3_string(self, sort_extensions=False):
        """JA3's text; `sort_extensions`: in ascending order, which removes
        the per-connection permutation (the "JA3N" form)."""
        def dash(values):
            return "-".join(str(v) for v in values if not is_grease(v))
        exts = sorted(self.extensions) if sort_extensions else self.extensions
        return ",".join([str(self.legacy_version), dash(self.ciphers), dash(exts), dash(self.groups),
                         dash(self.point_formats)])

    def ja3(self, sort_extensions=False):
        return hashlib.md5(self.ja3_string(sort_extensions).encode()).hexdigest()

    def ja4(self, ciphers=None):
        """JA4 (TCP); `ciphers` replaces the cipher list (to leave one out)."""
        ciphers = [c for c in (self.ciphers if ciphers is None else ciphers) if not is_grease(c)]
        exts = [e for e in self.extensions if not is_grease(e)]
        version = max([v for v in self.versions if not is_grease(v)] or [self.legacy_version])
        ver = {0x0304: "13", 0x0303: "12", 0x0302: "11", 0x0301: "10"}.get(version, "00")
        alpn = self.alpn[0] if self.alpn else ""
        a = f"t{ver}{'d' if self.server_name else 'i'}{min(len(ciphers), 99):02d}{min(len(exts), 99):02d}" + (
            alpn[0] + alpn[-1] if alpn else "00")

        def digest(text):
            return hashlib.sha256(text.encode()).hexdigest()[:12]
        b = digest(",".join(sorted(f"{c:04x}" for c in ciphers)))
        c_text = ",".join(sorted(f"{e:04x}" for e in exts if e not in (0, 16)))
        if self.sigalgs:
            c_text += "_" + ",".join(f"{s:04x}" for s in self.sigalgs if not is_grease(s))
        return f"{a}_{b}_{digest(c_text)}"
