"""The byte encoding of the module harness's inputs, shared by the harness
and the corpus generator (make_corpus.py).

An input is read front to back as a small program: every choice takes a fixed
number of bytes (one for a range of up to 256 values, two up to 65,536, eight
beyond), so a byte changed by the fuzzer changes one choice and leaves the
ones after it where they were.  Past the end of the input every choice reads
as zero bytes.  Writer makes the bytes that Reader reads back.
"""
import struct


def width(lo, hi):
    span = hi - lo
    return 1 if span < 0x100 else 2 if span < 0x10000 else 8


class Reader:
    """Reads choices from fuzz data; the methods the harness uses carry the
    names of atheris's data provider, so either can drive it."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def remaining_bytes(self):
        return len(self.data) - self.pos

    def take(self, count):
        out = self.data[self.pos: self.pos + count]
        self.pos += len(out)
        return out

    def ConsumeIntInRange(self, lo, hi):
        if hi <= lo:
            return lo
        raw = int.from_bytes(self.take(width(lo, hi)), "little")
        return lo + raw % (hi - lo + 1)

    def ConsumeBool(self):
        return bool(self.ConsumeIntInRange(0, 1))

    def ConsumeBytes(self, count):
        return self.take(max(count, 0))

    def ConsumeInt(self, size):
        return int.from_bytes(self.take(size), "little", signed=True)

    def ConsumeFloat(self):
        return struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0]

    def ConsumeUnicodeNoSurrogates(self, count):
        raw = self.take(count)
        if not raw or raw[0] & 1 == 0:
            return raw.decode("latin-1")
        chars = []
        for i in range(1, len(raw) - 1, 2):
            code = raw[i] | raw[i + 1] << 8
            chars.append(chr(code if not 0xD800 <= code < 0xE000 else code - 0x800))
        return "".join(chars)

    def PickValueInList(self, values):
        return values[self.ConsumeIntInRange(0, len(values) - 1)]


class Writer:
    """Makes inputs: each method writes the bytes that the Reader method of
    the same name reads back as the given value."""

    def __init__(self):
        self.out = bytearray()

    def int_in(self, lo, hi, value):
        assert lo <= value <= hi, (lo, hi, value)
        if hi > lo:
            self.out += (value - lo).to_bytes(width(lo, hi), "little")
        return self

    def bool(self, value):
        return self.int_in(0, 1, int(value))

    def raw(self, data):
        self.out += data
        return self

    def bytes(self):
        return bytes(self.out)
