#!/usr/bin/env python3
"""A virtual contactless card and reader for pcscd's vpcd driver (stdlib only).

vpcd listens on 127.0.0.1:35963. This process connects to it and is then the card in the virtual
reader: every message is a 2-byte big-endian length and a payload. A 1-byte payload is a control
(0 power off, 1 power on, 2 reset, 4 get ATR; only 4 is answered, with the ATR); a longer payload
is an APDU, answered with data + SW1 SW2. The card is present while the connection is open.

Since vpcd passes every APDU through, this process also plays the reader's firmware: the reader
profile decides which pseudo-APDUs (class FF) it takes:

  plain    FF CA 00/01 GET DATA; ISO 7816-4 APDUs reach ISO 14443-4 cards only; every other
           class-FF command and any APDU to a storage card is refused with --refuse (6A 81 or 6D 00).
  pn532    plain + FF 00 00 00 Lc D4 <cmd> ... passed to a PN532-like chip: GetFirmwareVersion,
           InListPassiveTarget (full target data), InDataExchange, InCommunicateThru, InRelease,
           InDeselect, RFConfiguration, SAMConfiguration -> D5 <cmd+1> ... 90 00. A card that does
           not answer gives status 01 in the D5 41 / D5 43 answer; a malformed pseudo-APDU 63 00;
           an unknown chip command 63 7F.
  part3    plain + the transparent session FF C2 00 P2 Lc <data objects>: P2 00 manage session
           (81 00 start, 82 00 end, 83 00 RF off, 84 00 RF on, 5F 46 timer), P2 01 exchange
           (95 len <frame> transceive, 90-92 framing options accepted), P2 02 switch protocol
           (8F 02 <standard> <layer>: 00 A, 01 B, 03 FeliCa). Answer: data objects, C0 03 00 90 00
           when all went well (C0 03 <position of the failing object> SW1 SW2 otherwise: 6A 81 not
           supported, 64 01 no answer from the card, 69 86 no session), 97 len <card answer> for
           each transceive, then 90 00. Malformed data objects: 6A 80.
  storage  plain + FF B0 00 pp Le (read Le bytes from page pp, Le 00 = 16; 62 82 when the memory
           ends before Le, 6B 00 past its end) and FF D6 00 pp Lc (Lc a multiple of 4; pages 0-1
           69 82) on Type 2 Tags; other cards 6A 81.

Cards (NDEF message: a URI and a text record by default, --uri/--text/--ndef-hex change it):
  t4a  Type 4 Tag on ISO 14443-4 A, ATR 3B 8n 80 01 + ATS historical bytes + TCK.
  t4b  Type 4 Tag on ISO 14443-4 B, ATR 3B 88 80 01 + ATQB application data, protocol info, MBLI/CID.
       Both: NDEF application D2 76 00 00 85 01 01, CC file E103, NDEF file E104; READ BINARY with
       Le above the CC's MLe is refused (67 00), so a reader must read in MLe pieces.
  t3   Type 3 Tag on FeliCa, Polling / Check / Update frames (with their length byte), NDEF
       attribute block 0 and data blocks; more than Nbr blocks in one Check is refused (A2).
       ATR: the PC/SC storage-card form, --felica-atr new (SS 11, name 00 3B), old212 (SS 03, F0 11) or
       old424 (SS 03, F0 12).
  t2   Type 2 Tag on ISO 14443-3 A, PC/SC storage-card ATR, name 00 03; READ 30 pp (16 bytes, wraps),
       WRITE A2 pp <4 bytes> (ACK 0A); a page past the memory or a write to pages 0-1 gets the
       NAK 00 as a one-byte answer.

Schedule: --schedule "0-5,7-12,15-" (arrive at 0 s, leave at 5 s, come back at 7 s, ...; an empty
leave time stays until stopped), or --scenario FILE, a JSON object {"profile": .., "entries": [{"at":
0, "leave": 5, "card": "t4a", ...option overrides...}, ...]}. A card that is present and loses vpcd
(pcscd stopped) connects again when vpcd is back, until its leave time.

Every event is printed on stdout, one line each, with the time since start ("arrived t4a ...",
"left", "vpcd closed"); --trace adds every APDU.
"""

import argparse
import json
import select
import signal
import socket
import struct
import sys
import time

# --------------------------------------------------------------------------------------------- #
# Bytes and ATRs

def h(text):
    """Bytes from hex text with optional spaces."""
    return bytes.fromhex(text.replace(" ", ""))


def hx(data):
    return data.hex(" ").upper()


def with_tck(atr_without_tck):
    """Appends TCK: the XOR of every byte from T0 to the last historical byte."""
    tck = 0
    for b in atr_without_tck[1:]:
        tck ^= b
    return atr_without_tck + bytes([tck])


def iso14443_4_atr(historical):
    """3B 8n 80 01 + historical bytes + TCK (n = number of historical bytes)."""
    if len(historical) > 15:
        raise ValueError("at most 15 historical bytes")
    return with_tck(bytes([0x3B, 0x80 | len(historical), 0x80, 0x01]) + historical)


def storage_atr(standard, name):
    """PC/SC storage-card ATR: 3B 8F 80 01 80 4F 0C A0 00 00 03 06 SS NN NN 00 00 00 00 TCK."""
    return with_tck(h("3B 8F 80 01 80 4F 0C A0 00 00 03 06") + bytes([standard]) + name + bytes(4))


FELICA_ATR_FORMS = {
    "new": (0x11, h("00 3B")),
    "old212": (0x03, h("F0 11")),
    "old424": (0x03, h("F0 12")),
}

# --------------------------------------------------------------------------------------------- #
# NDEF

URI_PREFIXES = [(1, "http://www."), (2, "https://www."), (3, "http://"), (4, "https://")]


def ndef_record(tnf, rtype, payload, first, last):
    header = tnf | (0x80 if first else 0) | (0x40 if last else 0)
    if len(payload) < 256:
        return bytes([header | 0x10, len(rtype), len(payload)]) + rtype + payload
    return bytes([header, len(rtype)]) + struct.pack(">I", len(payload)) + rtype + payload


def uri_payload(uri):
    for code, prefix in URI_PREFIXES:
        if uri.startswith(prefix):
            return bytes([code]) + uri[len(prefix):].encode()
    return b"\x00" + uri.encode()


def ndef_message(uri, text, lang="en"):
    """A message of a URI record and a text record (either left out when empty)."""
    parts = []
    if uri:
        parts.append((b"U", uri_payload(uri)))
    if text:
        parts.append((b"T", bytes([len(lang)]) + lang.encode() + text.encode()))
    if not parts:
        return ndef_record(0, b"", b"", True, True)  # an empty record
    return b"".join(ndef_record(1, t, p, i == 0, i == len(parts) - 1) for i, (t, p) in enumerate(parts))

# --------------------------------------------------------------------------------------------- #
# Cards

SW_OK = h("90 00")


class NoAnswer(Exception):
    """The card stays silent (time-out on the air)."""


class Card:
    kind = ""
    iso14443_4 = False
    uid = b""

    def atr(self):
        raise NotImplementedError

    def ats(self):
        return None

    def apdu(self, command):
        """An ISO 7816-4 APDU through the reader's ISO 14443-4 layer."""
        raise NoAnswer()

    def frame(self, data):
        """A raw frame (FeliCa with its length byte; ISO 14443-3 A command without CRC)."""
        raise NoAnswer()


class Type4Tag(Card):
    AID = h("D2 76 00 00 85 01 01")
    iso14443_4 = True

    def __init__(self, ndef, mle, mlc=0x34, max_ndef=1024):
        self.mle = mle
        self.mlc = mlc
        self.max_ndef = max(max_ndef, len(ndef) + 2)
        self.files = {
            0xE103: bytearray(h("00 0F 20") + struct.pack(">HH", mle, mlc)
                              + h("04 06 E1 04") + struct.pack(">H", self.max_ndef) + h("00 00")),
            0xE104: bytearray(struct.pack(">H", len(ndef)) + ndef + bytes(self.max_ndef - 2 - len(ndef))),
        }
        self.app_selected = False
        self.current = None

    def apdu(self, c):
        if len(c) < 4:
            return h("67 00")
        cla, ins, p1, p2 = c[0], c[1], c[2], c[3]
        body = c[4:]
        if cla != 0x00:
            return h("6E 00")
        if ins == 0xA4:
            lc = body[0] if body else 0
            data = body[1:1 + lc]
            if len(body) < 1 + lc:
                return h("67 00")
            if p1 == 0x04:
                if data == self.AID:
                    self.app_selected = True
                    self.current = None
                    return SW_OK
                self.app_selected = False
                return h("6A 82")
            if p1 == 0x00 and p2 == 0x0C and lc == 2:
                fid = struct.unpack(">H", data)[0]
                if self.app_selected and fid in self.files:
                    self.current = fid
                    return SW_OK
                return h("6A 82")
            return h("6A 86")
        if ins == 0xB0:
            if self.current is None:
                return h("69 86")
            if len(body) != 1:
                return h("67 00")
            offset = (p1 << 8) | p2
            le = body[0] or 256
            if le > self.mle:
                return h("67 00")
            content = self.files[self.current]
            if offset >= len(content):
                return h("6B 00")
            return bytes(content[offset:offset + le]) + SW_OK
        if ins == 0xD6:
            if self.current != 0xE104:
                return h("69 86")
            offset = (p1 << 8) | p2
            lc = body[0] if body else 0
            data = body[1:1 + lc]
            if len(data) != lc or lc > self.mlc:
                return h("67 00")
            content = self.files[self.current]
            if offset + lc > len(content):
                return h("6B 00")
            content[offset:offset + lc] = data
            return SW_OK
        return h("6D 00")

    def ndef(self):
        f = self.files[0xE104]
        return bytes(f[2:2 + struct.unpack(">H", f[:2])[0]])


class Type4TagA(Type4Tag):
    kind = "t4a"
    SENS_RES = h("03 44")
    SEL_RES = 0x20

    def __init__(self, ndef, mle, uid, historical):
        super().__init__(ndef, mle)
        self.uid = uid
        self.historical = historical

    def atr(self):
        return iso14443_4_atr(self.historical)

    def ats(self):
        body = h("78 80 70 02") + self.historical   # T0 (TA TB TC, FSCI 8), TA, TB (FWI 7), TC
        return bytes([len(body) + 1]) + body


class Type4TagB(Type4Tag):
    kind = "t4b"
    APP_DATA = h("00 00 00 00")
    PROTOCOL_INFO = h("80 81 71")   # 106 kbit/s; FSCI 8, ISO 14443-4; FWI 7, FO: CID
    MBLI_CID = 0x00

    def __init__(self, ndef, mle, pupi):
        super().__init__(ndef, mle)
        self.uid = pupi

    def atr(self):
        return iso14443_4_atr(self.APP_DATA + self.PROTOCOL_INFO + bytes([self.MBLI_CID]))

    def atqb(self):
        return b"\x50" + self.uid + self.APP_DATA + self.PROTOCOL_INFO


class Type3Tag(Card):
    kind = "t3"
    SYSTEM_CODE = h("12 FC")
    SERVICE_READ = 0x000B
    SERVICE_WRITE = 0x0009

    def __init__(self, ndef, idm, pmm, atr_form, nbr=4, nbw=1):
        self.uid = idm
        self.pmm = pmm
        self.atr_form = atr_form
        self.nbr = nbr
        self.nbw = nbw
        nmaxb = max(13, (len(ndef) + 15) // 16 + 2)
        self.blocks = [bytearray(16) for _ in range(nmaxb + 1)]
        data = ndef + bytes(nmaxb * 16 - len(ndef))
        for i in range(nmaxb):
            self.blocks[1 + i][:] = data[16 * i:16 * i + 16]
        attr = bytearray(bytes([0x10, nbr, nbw]) + struct.pack(">H", nmaxb) + bytes(4)
                         + bytes([0x00, 0x01]) + struct.pack(">I", len(ndef))[1:])
        attr += struct.pack(">H", sum(attr) & 0xFFFF)
        self.blocks[0][:] = attr

    def atr(self):
        standard, name = FELICA_ATR_FORMS[self.atr_form]
        return storage_atr(standard, name)

    def ndef(self):
        length = int.from_bytes(self.blocks[0][11:14], "big")
        return b"".join(bytes(b) for b in self.blocks[1:])[:length]

    @staticmethod
    def _block_list(data, count):
        """Block list elements (2-byte 80 bb or 3-byte 00 bb bb) -> (block numbers, rest)."""
        numbers = []
        i = 0
        for _ in range(count):
            if i >= len(data):
                return None, b""
            if data[i] & 0x80:
                if i + 2 > len(data):
                    return None, b""
                numbers.append(data[i + 1])
                i += 2
            else:
                if i + 3 > len(data):
                    return None, b""
                numbers.append(data[i + 1] | data[i + 2] << 8)
                i += 3
        return numbers, data[i:]

    def frame(self, f):
        if len(f) < 2 or f[0] != len(f):
            raise NoAnswer()
        code = f[1]
        if code == 0x00:  # Polling: system code, request code, time slot
            if len(f) != 6:
                raise NoAnswer()
            sc = f[2:4]
            if sc not in (h("FF FF"), self.SYSTEM_CODE):
                raise NoAnswer()
            answer = b"\x01" + self.uid + self.pmm + (self.SYSTEM_CODE if f[4] == 0x01 else b"")
            return bytes([len(answer) + 1]) + answer
        if len(f) < 10 or f[2:10] != self.uid:
            raise NoAnswer()
        if code == 0x04:  # Request Response
            return h("0B 05") + self.uid + b"\x00"
        if code == 0x0C:  # Request System Code
            return h("0D 0D") + self.uid + b"\x01" + self.SYSTEM_CODE
        if code in (0x06, 0x08):
            return self._check_or_update(code, f[10:])
        raise NoAnswer()

    def _status(self, code, sf1, sf2, blocks=b""):
        body = bytes([code + 1]) + self.uid + bytes([sf1, sf2]) + blocks
        return bytes([len(body) + 1]) + body

    def _check_or_update(self, code, rest):
        if not rest:
            raise NoAnswer()
        nsvc = rest[0]
        if nsvc < 1 or len(rest) < 1 + 2 * nsvc + 1:
            raise NoAnswer()
        services = [rest[1 + 2 * i] | rest[2 + 2 * i] << 8 for i in range(nsvc)]
        nblk = rest[1 + 2 * nsvc]
        numbers, data = self._block_list(rest[2 + 2 * nsvc:], nblk)
        if numbers is None:
            raise NoAnswer()
        allowed = (self.SERVICE_READ, self.SERVICE_WRITE) if code == 0x06 else (self.SERVICE_WRITE,)
        if any(s not in allowed for s in services):
            return self._status(code, 0x01, 0xA6)
        limit = self.nbr if code == 0x06 else self.nbw
        if nblk < 1 or nblk > limit:
            return self._status(code, 0xFF, 0xA2)
        if any(n >= len(self.blocks) for n in numbers):
            return self._status(code, 0x01, 0xA8)
        if code == 0x06:
            if data:
                raise NoAnswer()
            return self._status(code, 0x00, 0x00, bytes([nblk]) + b"".join(bytes(self.blocks[n]) for n in numbers))
        if len(data) != 16 * nblk:
            raise NoAnswer()
        for i, n in enumerate(numbers):
            self.blocks[n][:] = data[16 * i:16 * i + 16]
        return self._status(code, 0x00, 0x00)


class Type2Tag(Card):
    kind = "t2"
    SENS_RES = h("00 44")
    SEL_RES = 0x00
    ACK = b"\x0A"

    def __init__(self, ndef, uid):
        if len(uid) != 7:
            raise ValueError("a Type 2 Tag has a 7-byte UID")
        self.uid = uid
        tlv = (bytes([0x03, len(ndef)]) if len(ndef) < 255 else b"\x03\xFF" + struct.pack(">H", len(ndef))) + ndef + b"\xFE"
        data_pages = max(36, (len(tlv) + 7) // 8 * 2)   # data area in 8-byte steps
        bcc0 = 0x88 ^ uid[0] ^ uid[1] ^ uid[2]
        bcc1 = uid[3] ^ uid[4] ^ uid[5] ^ uid[6]
        head = uid[:3] + bytes([bcc0]) + uid[3:] + bytes([bcc1, 0x48, 0x00, 0x00]) \
            + bytes([0xE1, 0x10, data_pages * 4 // 8, 0x00])
        self.memory = bytearray(head + tlv + bytes(data_pages * 4 - len(tlv)) + bytes(5 * 4))

    def atr(self):
        return storage_atr(0x03, h("00 03"))

    def pages(self):
        return len(self.memory) // 4

    def read16(self, page):
        """READ: 16 bytes from a page, wrapping at the end of memory."""
        return bytes(self.memory[((page + i) % self.pages()) * 4 + j] for i in range(4) for j in range(4))

    def frame(self, f):
        if len(f) == 2 and f[0] == 0x30:
            if f[1] >= self.pages():
                return b"\x00"   # NAK
            return self.read16(f[1])
        if len(f) == 6 and f[0] == 0xA2:
            if f[1] < 2 or f[1] >= self.pages():
                return b"\x00"
            self.memory[f[1] * 4:f[1] * 4 + 4] = f[2:6]
            return self.ACK
        raise NoAnswer()

    def ndef(self):
        i = 16
        while i < len(self.memory):
            t = self.memory[i]
            if t == 0x00:
                i += 1
                continue
            n = self.memory[i + 1]
            i += 2
            if n == 0xFF:
                n = struct.unpack(">H", self.memory[i:i + 2])[0]
                i += 2
            if t == 0x03:
                return bytes(self.memory[i:i + n])
            i += n
        return None

# --------------------------------------------------------------------------------------------- #
# Readers


class PlainReader:
    name = "plain"

    def __init__(self, card, refuse=h("6A 81")):
        self.card = card
        self.refuse = refuse

    def transmit(self, c):
        if len(c) < 4:
            return h("67 00")
        if c[0] == 0xFF:
            if c[1] == 0xCA:
                return self.get_data(c)
            return self.pseudo(c)
        if not self.card.iso14443_4:
            return self.refuse
        try:
            return self.card.apdu(c)
        except NoAnswer:
            return h("64 01")

    def pseudo(self, c):
        return self.refuse

    def get_data(self, c):
        if c[3] != 0x00 or len(c) != 5:
            return h("6B 00") if len(c) == 5 else h("67 00")
        if c[2] == 0x00:
            value = self.card.uid
        elif c[2] == 0x01 and self.card.ats() is not None:
            value = self.card.ats()
        else:
            return h("6A 81")
        le = c[4]
        if le == 0 or le == len(value):
            return value + SW_OK
        if le < len(value):
            return bytes([0x6C, len(value)])
        return value + h("62 82")


class Pn532Reader(PlainReader):
    """Pseudo-APDU FF 00 00 00 Lc D4 ... to a PN532-like chip."""
    name = "pn532"
    FIRMWARE = h("32 01 06 07")

    def __init__(self, card, refuse=h("6A 81")):
        super().__init__(card, refuse)
        self.target = False

    def pseudo(self, c):
        if c[1] != 0x00 or c[2] != 0x00 or c[3] != 0x00:
            return self.refuse
        if len(c) < 7 or c[4] != len(c) - 5 or c[5] != 0xD4:
            return h("63 00")
        cmd, args = c[6], c[7:]
        answer = self.chip(cmd, args)
        if answer is None:
            return h("63 7F")
        return bytes([0xD5, cmd + 1]) + answer + SW_OK

    def target_data(self, brty, initiator):
        card = self.card
        if brty == 0x00 and isinstance(card, (Type4TagA, Type2Tag)):
            data = card.SENS_RES + bytes([card.SEL_RES, len(card.uid)]) + card.uid
            return data + (card.ats() or b"")
        if brty in (0x01, 0x02) and isinstance(card, Type3Tag):
            try:  # the polling payload goes to the card as a Polling frame; POL_RES is the data
                return card.frame(b"\x06" + initiator[:5]) if len(initiator) == 5 else None
            except NoAnswer:
                return None
        if brty == 0x03 and isinstance(card, Type4TagB):
            return card.atqb() + h("01 01")  # ATTRIB_RES length 1: MBLI 0, CID 1
        return None

    def chip(self, cmd, args):
        if cmd == 0x02:
            return self.FIRMWARE
        if cmd == 0x14:
            return b""
        if cmd == 0x32:
            return b""
        if cmd in (0x44, 0x52):
            if cmd == 0x52:
                self.target = False
            return b"\x00"
        if cmd == 0x4A:
            if len(args) < 2:
                return None
            data = self.target_data(args[1], args[2:])
            self.target = data is not None
            return b"\x00" if data is None else b"\x01\x01" + data
        if cmd == 0x40:
            if not args or (args[0] & 0x3F) != 0x01 or not self.target:
                return b"\x27"
            return self.exchange(args[1:], self.card.iso14443_4)
        if cmd == 0x42:
            if not self.target:
                return b"\x27"
            return self.exchange(args, False)
        return None

    def exchange(self, data, as_apdu):
        try:
            answer = self.card.apdu(data) if as_apdu else self.card.frame(data)
        except NoAnswer:
            return b"\x01"
        if isinstance(self.card, Type2Tag) and answer == Type2Tag.ACK:
            answer = b""  # the chip reports a write's ACK as status 00 alone
        return b"\x00" + answer


def ber_length(n):
    return bytes([n]) if n < 0x80 else bytes([0x81, n]) if n < 0x100 else bytes([0x82]) + struct.pack(">H", n)


def parse_data_objects(data):
    """BER-TLV data objects (tags of one or two bytes, lengths in short or 81/82 form)."""
    objects = []
    i = 0
    while i < len(data):
        tag = data[i]
        i += 1
        if tag & 0x1F == 0x1F:
            if i >= len(data):
                raise ValueError("truncated tag")
            tag = tag << 8 | data[i]
            i += 1
        if i >= len(data):
            raise ValueError("missing length")
        n = data[i]
        i += 1
        if n & 0x80:
            k = n & 0x7F
            if k not in (1, 2) or i + k > len(data):
                raise ValueError("bad length")
            n = int.from_bytes(data[i:i + k], "big")
            i += k
        if i + n > len(data):
            raise ValueError("truncated value")
        objects.append((tag, data[i:i + n]))
        i += n
    return objects


class Part3Reader(PlainReader):
    """The transparent session FF C2 00 P2 Lc <data objects>."""
    name = "part3"

    def __init__(self, card, refuse=h("6A 81")):
        super().__init__(card, refuse)
        self.session = False
        self.standard = None

    def card_standard(self):
        return {"t4a": 0x00, "t2": 0x00, "t4b": 0x01, "t3": 0x03}[self.card.kind]

    def pseudo(self, c):
        if c[1] != 0xC2 or c[2] != 0x00 or c[3] not in (0x00, 0x01, 0x02):
            return self.refuse
        body = c[4:]
        if not body or body[0] != len(body) - 1 and body[0] != len(body) - 2:
            return h("67 00")
        try:
            objects = parse_data_objects(body[1:1 + body[0]])
        except ValueError:
            return h("6A 80")
        out = b""
        for position, (tag, value) in enumerate(objects, 1):
            answer, error = self.data_object(c[3], tag, value)
            if error is not None:
                return out + h("C0 03") + bytes([position]) + error + SW_OK
            out += answer
        return h("C0 03 00 90 00") + out + SW_OK

    def data_object(self, p2, tag, value):
        if p2 == 0x00:
            if tag == 0x81:
                self.session = True
                self.standard = self.card_standard()
                return b"", None
            if tag == 0x82:
                self.session = False
                return b"", None
            if tag in (0x83, 0x84, 0x5F46):
                return b"", None
            return b"", h("6A 81")
        if not self.session:
            return b"", h("69 86")
        if p2 == 0x02:
            if tag != 0x8F or len(value) != 2:
                return b"", h("6A 81")
            if value[0] != self.card_standard():
                return b"", h("64 01")
            self.standard = value[0]
            return b"", None
        if tag in (0x90, 0x91, 0x92):
            return b"", None
        if tag != 0x95:
            return b"", h("6A 81")
        try:
            if self.card.iso14443_4:
                answer = self.card.apdu(value)
            else:
                answer = self.card.frame(value)
        except NoAnswer:
            return b"", h("64 01")
        return b"\x97" + ber_length(len(answer)) + answer, None


class StorageReader(PlainReader):
    """FF B0 / FF D6 on Type 2 Tag pages."""
    name = "storage"

    def pseudo(self, c):
        if c[1] not in (0xB0, 0xD6) or c[2] != 0x00:
            return self.refuse
        card = self.card
        if not isinstance(card, Type2Tag):
            return h("6A 81")
        page = c[3]
        if c[1] == 0xB0:
            if len(c) != 5:
                return h("67 00")
            le = c[4] or 16
            if page >= card.pages():
                return h("6B 00")
            data = bytes(card.memory[page * 4:page * 4 + le])
            return data + (SW_OK if len(data) == le else h("62 82"))
        if len(c) < 5 or c[4] != len(c) - 5 or c[4] == 0 or c[4] % 4:
            return h("67 00")
        data = c[5:]
        if page < 2:
            return h("69 82")
        if page + len(data) // 4 > card.pages():
            return h("6B 00")
        card.memory[page * 4:page * 4 + len(data)] = data
        return SW_OK


READERS = {r.name: r for r in (PlainReader, Pn532Reader, Part3Reader, StorageReader)}

# --------------------------------------------------------------------------------------------- #
# Options and the vpcd connection

DEFAULTS = {
    "card": "t4a",
    "profile": "plain",
    "uri": "https://example.org/korvat/virtual-card",
    "text": "Korvat virtual card: an NDEF message longer than one read of the reader.",
    "ndef_hex": None,
    "mle": 0x3B,
    "uid": "04A1B2C3D4E5F6",
    "pupi": "1A2B3C4D",
    "idm": "012E4C8E1A2B3C4D",
    "pmm": "00F1000000014300",
    "historical": "4B56544134",
    "felica_atr": "new",
    "refuse": "6A81",
}


def make_card(o):
    ndef = h(o["ndef_hex"]) if o.get("ndef_hex") else ndef_message(o["uri"], o["text"])
    kind = o["card"]
    if kind == "t4a":
        return Type4TagA(ndef, int(o["mle"]), h(o["uid"]), h(o["historical"]))
    if kind == "t4b":
        return Type4TagB(ndef, int(o["mle"]), h(o["pupi"]))
    if kind == "t3":
        return Type3Tag(ndef, h(o["idm"]), h(o["pmm"]), o["felica_atr"])
    if kind == "t2":
        return Type2Tag(ndef, h(o["uid"]))
    raise ValueError("unknown card kind %r (t4a, t4b, t3, t2)" % kind)


def make_reader(o):
    if o["profile"] not in READERS:
        raise ValueError("unknown reader profile %r (%s)" % (o["profile"], ", ".join(READERS)))
    return READERS[o["profile"]](make_card(o), h(o["refuse"]))


def parse_schedule(text):
    """"0-5,7-12,15-" -> [(0, 5), (7, 12), (15, None)]."""
    entries = []
    for part in text.split(","):
        at, _, leave = part.strip().partition("-")
        entries.append((float(at), float(leave) if leave else None))
    return entries


T0 = time.monotonic()


def say(text):
    print("%8.3f %s" % (time.monotonic() - T0, text), flush=True)


class Stopped(Exception):
    pass


QUICKACK = getattr(socket, "TCP_QUICKACK", None)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        if QUICKACK is not None:
            # vpcd writes the length and the payload separately: with our ACK delayed, its second
            # write waits about 40 ms (Nagle). Linux clears quick ACKs after a while: set it each time.
            sock.setsockopt(socket.IPPROTO_TCP, QUICKACK, 1)
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(sock, reader, leave_at, trace):
    """Answers vpcd until the leave time (True) or until vpcd closes (False)."""
    atr = reader.card.atr()
    while True:
        timeout = None if leave_at is None else leave_at - time.monotonic()
        if timeout is not None and timeout <= 0:
            return True
        ready, _, _ = select.select([sock], [], [], timeout)
        if not ready:
            continue
        head = recv_exact(sock, 2)
        if head is None:
            return False
        payload = recv_exact(sock, struct.unpack(">H", head)[0])
        if payload is None:
            return False
        if len(payload) == 1:
            if trace:
                say("control %d" % payload[0])
            if payload[0] == 4:
                sock.sendall(struct.pack(">H", len(atr)) + atr)
            continue
        answer = reader.transmit(payload)
        if trace:
            say("> " + hx(payload))
            say("< " + hx(answer))
        sock.sendall(struct.pack(">H", len(answer)) + answer)


def connect(host, port, deadline):
    """Connects to vpcd, trying again until the deadline (None: forever)."""
    while True:
        try:
            return socket.create_connection((host, port), timeout=2)
        except OSError:
            if deadline is not None and time.monotonic() >= deadline:
                return None
            time.sleep(0.1)


def play(entries, base, host, port, trace):
    for entry in entries:
        o = dict(base)
        o.update(entry)
        reader = make_reader(o)
        arrive = T0 + float(o.get("at", 0))
        leave = o.get("leave")
        leave_at = None if leave is None else T0 + float(leave)
        delay = arrive - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        while leave_at is None or time.monotonic() < leave_at:
            sock = connect(host, port, leave_at)
            if sock is None:
                break
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # answers leave at once
            say("arrived %s profile %s ATR %s" % (reader.card.kind, reader.name, hx(reader.card.atr())))
            try:
                left = serve(sock, reader, leave_at, trace)
            except OSError:
                left = False
            finally:
                sock.close()
            if left:
                say("left")
                break
            say("vpcd closed; connecting again")
            time.sleep(0.2)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--card", choices=["t4a", "t4b", "t3", "t2"])
    p.add_argument("--profile", choices=sorted(READERS))
    p.add_argument("--schedule", default="0-", help='arrive-leave seconds, e.g. "0-5,7-" (default: 0-)')
    p.add_argument("--scenario", help="JSON scenario file (replaces --schedule)")
    p.add_argument("--uri")
    p.add_argument("--text")
    p.add_argument("--ndef-hex", dest="ndef_hex", help="the whole NDEF message in hex")
    p.add_argument("--mle", type=lambda s: int(s, 0), help="Type 4 Tag MLe (default 0x3B)")
    p.add_argument("--uid", help="type A UID (hex)")
    p.add_argument("--pupi", help="type B PUPI (hex)")
    p.add_argument("--idm", help="FeliCa IDm (hex)")
    p.add_argument("--pmm", help="FeliCa PMm (hex)")
    p.add_argument("--historical", help="type A ATS historical bytes (hex)")
    p.add_argument("--felica-atr", dest="felica_atr", choices=sorted(FELICA_ATR_FORMS))
    p.add_argument("--refuse", choices=["6A81", "6D00"], help="status word of refused commands")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=35963)
    p.add_argument("--trace", action="store_true", help="print every APDU")
    p.add_argument("--print-atr", action="store_true", help="print the card's ATR and exit")
    a = p.parse_args(argv)

    base = dict(DEFAULTS)
    entries = [{"at": at, "leave": leave} for at, leave in parse_schedule(a.schedule)]
    if a.scenario:
        with open(a.scenario, encoding="utf-8") as f:
            scenario = json.load(f)
        base.update({k: v for k, v in scenario.items() if k != "entries"})
        entries = scenario["entries"]
    base.update({k: v for k, v in vars(a).items() if k in DEFAULTS and v is not None})
    try:
        for e in entries:  # every entry's card is made once here so that a bad option fails at start
            make_reader(dict(base, **e))
    except ValueError as e:
        p.error(str(e))
    if a.print_atr:
        for e in entries:
            print(hx(make_reader(dict(base, **e)).card.atr()))
        return 0

    def stop(signum, frame):
        raise Stopped()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        play(entries, base, a.host, a.port, a.trace)
    except Stopped:
        say("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
