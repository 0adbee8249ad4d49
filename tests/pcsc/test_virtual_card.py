#!/usr/bin/env python3
"""Tests of the virtual card and reader that the PC/SC tests connect to vpcd.

Run: python3 -m unittest discover -s tests/pcsc -p 'test_*.py' -v
The checks read the card back the way a reader client would (NDEF application, CC, MLe pieces,
FeliCa Check in Nbr pieces, Type 2 pages) and decode the NDEF message with a parser of their own.
"""
import json
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "pcsc_virtual_card", "virtual_card.py")
sys.path.insert(0, os.path.dirname(TOOL))
import virtual_card as vc  # noqa: E402

h = vc.h
URI = "https://example.org/a/rather/long/path/for/the/uri/record"
TEXT = "A text record that makes the whole message longer than MLe: " + "x" * 40


def options(**kw):
    o = dict(vc.DEFAULTS, uri=URI, text=TEXT)
    o.update(kw)
    return o


def parse_ndef(message):
    """[(tnf, type, payload)] of an NDEF message; fails on a malformed one."""
    records = []
    i = 0
    while i < len(message):
        header = message[i]
        type_len = message[i + 1]
        if header & 0x10:
            n, i = message[i + 2], i + 3
        else:
            n, i = struct.unpack(">I", message[i + 2:i + 6])[0], i + 6
        rtype = message[i:i + type_len]
        i += type_len
        records.append((header & 0x07, rtype, message[i:i + n]))
        if i + n > len(message):
            raise ValueError("record runs past the message")
        i += n
        if header & 0x40:
            break
    if i != len(message):
        raise ValueError("bytes after the last record")
    return records


def sw(answer):
    return answer[-2:]


class ApduOverProfile:
    """Sends card APDUs through a reader profile as a client of that profile would."""

    def __init__(self, reader):
        self.r = reader
        if isinstance(reader, vc.Pn532Reader):
            kind = reader.card.kind
            brty = {"t4a": 0x00, "t4b": 0x03}[kind]
            answer = self.chip(bytes([0x4A, 0x01, brty]))
            assert answer[2] == 1, "InListPassiveTarget found nothing"
        if isinstance(reader, vc.Part3Reader):
            assert reader.transmit(h("FF C2 00 00 02 81 00")) == h("C0 03 00 90 00 90 00")

    def chip(self, cmd):
        c = bytes([0xD4]) + cmd
        answer = self.r.transmit(h("FF 00 00 00") + bytes([len(c)]) + c)
        assert sw(answer) == vc.SW_OK and answer[:2] == bytes([0xD5, cmd[0] + 1]), answer.hex()
        return answer[:-2]

    def apdu(self, c):
        if isinstance(self.r, vc.Pn532Reader):
            answer = self.chip(b"\x40\x01" + c)
            assert answer[2] == 0x00, "InDataExchange status %02X" % answer[2]
            return answer[3:]
        if isinstance(self.r, vc.Part3Reader):
            answer = self.r.transmit(h("FF C2 00 01") + bytes([len(c) + 2, 0x95, len(c)]) + c)
            assert answer[:5] == h("C0 03 00 90 00") and answer[5] == 0x97 and sw(answer) == vc.SW_OK, answer.hex()
            return answer[7:7 + answer[6]]
        return self.r.transmit(c)


def read_type4(client):
    """NDEF through SELECT application, CC, NDEF file, READ BINARY in pieces of at most MLe."""
    assert client.apdu(h("00 A4 04 00 07 D2 76 00 00 85 01 01 00")) == vc.SW_OK
    assert client.apdu(h("00 A4 00 0C 02 E1 03")) == vc.SW_OK
    cc = client.apdu(h("00 B0 00 00 0F"))
    assert sw(cc) == vc.SW_OK
    mle = struct.unpack(">H", cc[3:5])[0]
    fid = cc[9:11]
    assert client.apdu(h("00 A4 00 0C 02") + fid) == vc.SW_OK
    nlen_answer = client.apdu(h("00 B0 00 00 02"))
    nlen = struct.unpack(">H", nlen_answer[:2])[0]
    data = b""
    while len(data) < nlen:
        n = min(mle, nlen - len(data))
        offset = 2 + len(data)
        piece = client.apdu(h("00 B0") + struct.pack(">H", offset) + bytes([n]))
        assert sw(piece) == vc.SW_OK and len(piece) == n + 2
        data += piece[:-2]
    return data, mle


class AtrTest(unittest.TestCase):
    def test_atrs_of_every_card_have_a_correct_tck_and_their_layout(self):
        cases = [  # options, expected ATR where a published value exists, check of the layout
            (dict(card="t2"), h("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 03 00 00 00 00 68")),
            (dict(card="t3", felica_atr="new"), h("3B 8F 80 01 80 4F 0C A0 00 00 03 06 11 00 3B 00 00 00 00 42")),
            (dict(card="t3", felica_atr="old212"), None),
            (dict(card="t3", felica_atr="old424"), None),
            (dict(card="t4a", historical="80 73 C0 21"), None),
            (dict(card="t4b"), None),
        ]
        for o, expected in cases:
            with self.subTest(o=o):
                card = vc.make_card(options(**o))
                atr = card.atr()
                tck = 0
                for b in atr[1:]:
                    tck ^= b
                self.assertEqual(tck, 0, "TCK")
                self.assertEqual(atr[0], 0x3B)
                self.assertEqual(atr[1] & 0x0F, len(atr) - 5, "T0's count of historical bytes")
                self.assertEqual(atr[2:4], h("80 01"))
                if expected is not None:
                    self.assertEqual(atr, expected)
                hist = atr[4:-1]
                if o["card"] == "t3" and o["felica_atr"] != "new":
                    self.assertEqual(hist[8:11], {"old212": h("03 F0 11"), "old424": h("03 F0 12")}[o["felica_atr"]])
                if o["card"] == "t4a":
                    self.assertEqual(hist, h("80 73 C0 21"))
                    ats = card.ats()
                    self.assertEqual(ats[0], len(ats), "TL counts itself")
                    self.assertEqual(ats[-4:], hist, "the ATR carries the ATS historical bytes")
                if o["card"] == "t4b":
                    self.assertEqual(hist[:7], card.atqb()[5:12], "application data + protocol info")


class NdefTest(unittest.TestCase):
    def test_default_message_is_a_uri_and_a_text_record(self):
        for uri, text, prefix_code, rest in [
            ("https://example.org/x", "hello", 4, b"example.org/x"),
            ("http://www.example.org", "", 1, b"example.org"),
            ("urn:x", "t" * 300, 0, b"urn:x"),   # a long text record takes the 4-byte length form
        ]:
            with self.subTest(uri=uri, text=len(text)):
                records = parse_ndef(vc.ndef_message(uri, text))
                self.assertEqual(records[0][:2], (1, b"U"))
                self.assertEqual(records[0][2], bytes([prefix_code]) + rest)
                if text:
                    self.assertEqual(records[1], (1, b"T", b"\x02en" + text.encode()))
                else:
                    self.assertEqual(len(records), 1)


class Type4Test(unittest.TestCase):
    def test_ndef_read_in_mle_pieces_through_every_profile_that_carries_apdus(self):
        for card in ("t4a", "t4b"):
            for profile in ("plain", "pn532", "part3", "storage"):
                with self.subTest(card=card, profile=profile):
                    reader = vc.make_reader(options(card=card, profile=profile))
                    message, mle = read_type4(ApduOverProfile(reader))
                    self.assertGreater(len(message), mle, "the message must need several reads")
                    self.assertEqual(message, vc.ndef_message(URI, TEXT))

    def test_card_errors(self):
        reader = vc.make_reader(options(card="t4a", mle=0x20))
        t = reader.transmit
        self.assertEqual(t(h("00 B0 00 00 10")), h("69 86"), "READ BINARY before a file is selected")
        self.assertEqual(t(h("00 A4 00 0C 02 E1 04")), h("6A 82"), "file select before the application")
        self.assertEqual(t(h("00 A4 04 00 07 D2 76 00 00 85 01 02 00")), h("6A 82"), "another AID")
        t(h("00 A4 04 00 07 D2 76 00 00 85 01 01 00"))
        self.assertEqual(t(h("00 A4 00 0C 02 E1 04")), vc.SW_OK)
        self.assertEqual(t(h("00 B0 00 00 21")), h("67 00"), "Le above MLe")
        self.assertEqual(t(h("00 B0 04 00 01")), h("6B 00"), "offset past the file")
        self.assertEqual(t(h("00 D6 00 02 03 D0 00 00")), vc.SW_OK)
        self.assertEqual(t(h("00 D6 00 00 02 00 03")), vc.SW_OK)
        self.assertEqual(reader.card.ndef(), h("D0 00 00"), "an update is read back")


class Type3Test(unittest.TestCase):
    def check(self, card, blocks, service=0x000B):
        elements = b"".join(bytes([0x80, n]) for n in blocks)
        body = bytes([0x06]) + card.uid + b"\x01" + struct.pack("<H", service) + bytes([len(blocks)]) + elements
        return bytes([len(body) + 1]) + body

    def read_via_pn532(self, reader):
        answer = reader.transmit(h("FF 00 00 00 09 D4 4A 01 01 00 FF FF 01 00"))
        self.assertEqual(answer[:4], h("D5 4B 01 01"))
        pol = answer[4:-2]
        self.assertEqual(pol[0], len(pol))
        self.assertEqual(pol[1], 0x01)
        idm, pmm, sc = pol[2:10], pol[10:18], pol[18:20]
        self.assertEqual((idm, pmm, sc), (reader.card.uid, reader.card.pmm, h("12 FC")))

        def thru(frame):
            c = b"\xD4\x42" + frame
            a = reader.transmit(h("FF 00 00 00") + bytes([len(c)]) + c)
            self.assertEqual(a[:2] + a[-2:], h("D5 43 90 00"))
            return a[2], a[3:-2]
        return thru

    def read_via_part3(self, reader):
        t = reader.transmit
        self.assertEqual(t(h("FF C2 00 00 02 81 00")), h("C0 03 00 90 00 90 00"))
        self.assertEqual(t(h("FF C2 00 02 04 8F 02 03 00")), h("C0 03 00 90 00 90 00"))

        def thru(frame):
            a = t(h("FF C2 00 01") + bytes([len(frame) + 2, 0x95, len(frame)]) + frame)
            if a[:5] != h("C0 03 00 90 00"):
                return 1, a
            objects = vc.parse_data_objects(a[5:-2])
            self.assertEqual(objects[0][0], 0x97)
            return 0, objects[0][1]
        return thru

    def test_ndef_read_in_nbr_pieces_through_raw_frame_profiles(self):
        for via in ("pn532", "part3"):
            for form in ("new", "old212"):
                with self.subTest(via=via, form=form):
                    reader = vc.make_reader(options(card="t3", profile=via, felica_atr=form))
                    thru = (self.read_via_pn532 if via == "pn532" else self.read_via_part3)(reader)
                    status, answer = thru(self.check(reader.card, [0]))
                    self.assertEqual(status, 0)
                    self.assertEqual(answer[1], 0x07)
                    self.assertEqual(answer[10:13], h("00 00 01"), "status flags and one block")
                    attr = answer[13:29]
                    self.assertEqual(struct.unpack(">H", attr[14:16])[0], sum(attr[:14]), "checksum")
                    nbr, length = attr[1], int.from_bytes(attr[11:14], "big")
                    blocks = (length + 15) // 16
                    self.assertGreater(blocks, nbr, "the message must need several Checks")
                    data = b""
                    for first in range(1, blocks + 1, nbr):
                        numbers = list(range(first, min(first + nbr, blocks + 1)))
                        status, answer = thru(self.check(reader.card, numbers))
                        self.assertEqual((status, answer[10:12], answer[12]), (0, h("00 00"), len(numbers)))
                        data += answer[13:]
                    self.assertEqual(data[:length], vc.ndef_message(URI, TEXT))

    def test_frame_errors(self):
        card = vc.make_card(options(card="t3"))
        cases = [  # frame, flags or None for no answer
            (self.check(card, [1, 2, 3, 4, 5]), h("FF A2")),          # more than Nbr blocks
            (self.check(card, [1], service=0x1234), h("01 A6")),      # unknown service
            (self.check(card, [200]), h("01 A8")),                    # block past the end
            (self.check(vc.make_card(options(card="t3", idm="0102030405060708")), [1]), None),  # other IDm
            (h("06 00 AB CD 01 00"), None),                           # polling another system code
        ]
        for frame, flags in cases:
            with self.subTest(frame=frame.hex()):
                if flags is None:
                    with self.assertRaises(vc.NoAnswer):
                        card.frame(frame)
                else:
                    self.assertEqual(card.frame(frame)[10:12], flags)

    def test_update_then_check(self):
        card = vc.make_card(options(card="t3"))
        body = b"\x08" + card.uid + h("01 09 00 01 80 02") + bytes(range(16))
        self.assertEqual(card.frame(bytes([len(body) + 1]) + body)[10:12], h("00 00"))
        answer = card.frame(self.check(card, [2]))
        self.assertEqual(answer[13:29], bytes(range(16)))
        read_only = b"\x08" + card.uid + h("01 0B 00 01 80 02") + bytes(16)
        self.assertEqual(card.frame(bytes([len(read_only) + 1]) + read_only)[10:12], h("01 A6"))


class Type2Test(unittest.TestCase):
    def ndef_from_pages(self, memory):
        self.assertEqual(memory[12], 0xE1, "CC magic")
        i = 16
        while memory[i] == 0x00:
            i += 1
        self.assertEqual(memory[i], 0x03)
        return memory[i + 2:i + 2 + memory[i + 1]]

    def test_storage_profile_reads_and_writes_pages(self):
        reader = vc.make_reader(options(card="t2", profile="storage"))
        card = reader.card
        memory = b""
        for page in range(0, card.pages(), 4):
            answer = reader.transmit(h("FF B0 00") + bytes([page, 0x10]))
            self.assertIn(sw(answer), (vc.SW_OK, h("62 82")))
            memory += answer[:-2]
        self.assertEqual(len(memory), card.pages() * 4)
        bcc0 = 0x88 ^ memory[0] ^ memory[1] ^ memory[2]
        self.assertEqual(memory[3], bcc0)
        self.assertEqual(memory[:3] + memory[4:8], card.uid)
        self.assertEqual(self.ndef_from_pages(memory), vc.ndef_message(URI, TEXT))
        self.assertEqual(reader.transmit(h("FF D6 00 05 04 01 02 03 04")), vc.SW_OK)
        self.assertEqual(reader.transmit(h("FF B0 00 05 04")), h("01 02 03 04 90 00"))
        for command, expected in [
            ("FF D6 00 00 04 00 00 00 00", "69 82"),   # UID page
            ("FF D6 00 05 03 01 02 03", "67 00"),      # not whole pages
            ("FF B0 00 FF 10", "6B 00"),               # past the end
        ]:
            with self.subTest(command=command):
                self.assertEqual(reader.transmit(h(command)), h(expected))

    def test_raw_read_and_write_through_pn532_and_part3(self):
        for via in ("pn532", "part3"):
            with self.subTest(via=via):
                reader = vc.make_reader(options(card="t2", profile=via))
                last = reader.card.pages() - 1
                if via == "pn532":
                    listed = reader.transmit(h("FF 00 00 00 04 D4 4A 01 00"))
                    self.assertEqual(listed[:9], h("D5 4B 01 01 00 44 00 07") + reader.card.uid[:1])

                    def raw(frame):
                        c = b"\xD4\x40\x01" + frame
                        a = reader.transmit(h("FF 00 00 00") + bytes([len(c)]) + c)
                        self.assertEqual(a[:3], h("D5 41 00"))
                        return a[3:-2]
                else:
                    reader.transmit(h("FF C2 00 00 02 81 00"))

                    def raw(frame):
                        a = reader.transmit(h("FF C2 00 01") + bytes([len(frame) + 2, 0x95, len(frame)]) + frame)
                        self.assertEqual(a[:5], h("C0 03 00 90 00"))
                        return vc.parse_data_objects(a[5:-2])[0][1]
                self.assertEqual(raw(bytes([0x30, last])), reader.card.read16(last))
                self.assertEqual(raw(bytes([0x30, last]))[4:8], raw(h("30 00"))[:4], "READ wraps at the end")
                self.assertEqual(raw(bytes([0x30, last + 1])), b"\x00", "READ past the memory: a NAK")
                raw(h("A2 04 DE AD BE EF"))
                self.assertEqual(raw(h("30 04"))[:4], h("DE AD BE EF"))


class ProfileTest(unittest.TestCase):
    def test_what_each_profile_refuses_and_get_data(self):
        cases = [  # card, profile, refuse, command, expected answer (None: the card's UID + 90 00)
            ("t4a", "plain", "6A81", "FF 00 00 00 02 D4 02", "6A 81"),
            ("t4a", "plain", "6D00", "FF C2 00 00 02 81 00", "6D 00"),
            ("t2", "plain", "6D00", "FF B0 00 04 10", "6D 00"),
            ("t2", "plain", "6A81", "30 04 00 00", "6A 81"),       # no APDUs to a storage card
            ("t4a", "pn532", "6A81", "FF C2 00 00 02 81 00", "6A 81"),
            ("t4a", "pn532", "6A81", "FF 00 00 00 02 D4 02", "D5 03 32 01 06 07 90 00"),
            ("t4a", "pn532", "6A81", "FF 00 00 00 02 D4 7E", "63 7F"),
            ("t4a", "pn532", "6A81", "FF 00 00 00 05 D4 02", "63 00"),   # Lc disagrees
            ("t4a", "pn532", "6A81", "FF 00 00 00 03 D4 40 01", "D5 41 27 90 00"),  # no target listed
            ("t4b", "pn532", "6A81", "FF 00 00 00 04 D4 4A 01 00", "D5 4B 00 90 00"),  # no type A card
            ("t3", "part3", "6A81", "FF C2 00 01 03 95 01 00", "C0 03 01 69 86 90 00"),   # no session
            ("t3", "part3", "6A81", "FF C2 00 00 03 81 05 00", "6A 80"),   # malformed data object
            ("t4a", "storage", "6A81", "FF B0 00 04 10", "6A 81"),
            ("t4a", "plain", "6A81", "FF CA 00 00 00", None),
            ("t4b", "plain", "6A81", "FF CA 00 00 00", None),
            ("t3", "plain", "6A81", "FF CA 00 00 00", None),
            ("t4a", "plain", "6A81", "FF CA 00 00 04", "6C 07"),
            ("t4b", "plain", "6A81", "FF CA 01 00 00", "6A 81"),
        ]
        for card, profile, refuse, command, expected in cases:
            with self.subTest(card=card, profile=profile, command=command):
                reader = vc.make_reader(options(card=card, profile=profile, refuse=refuse))
                want = reader.card.uid + vc.SW_OK if expected is None else h(expected)
                self.assertEqual(reader.transmit(h(command)), want)

    def test_ats_through_get_data_and_pn532_target_data(self):
        reader = vc.make_reader(options(card="t4a", profile="pn532"))
        ats = reader.card.ats()
        self.assertEqual(reader.transmit(h("FF CA 01 00 00")), ats + vc.SW_OK)
        listed = reader.transmit(h("FF 00 00 00 04 D4 4A 01 00"))
        uid = reader.card.uid
        self.assertEqual(listed, h("D5 4B 01 01 03 44 20") + bytes([len(uid)]) + uid + ats + vc.SW_OK)
        b = vc.make_reader(options(card="t4b", profile="pn532"))
        listed = b.transmit(h("FF 00 00 00 05 D4 4A 01 03 00"))
        self.assertEqual(listed[:5], h("D5 4B 01 01 50"))
        self.assertEqual(listed[5:9], b.card.uid)
        self.assertEqual(listed[16:18], h("01 01"), "ATTRIB_RES: length 1, CID 1")

    def test_part3_switch_to_a_protocol_the_card_lacks(self):
        reader = vc.make_reader(options(card="t3", profile="part3"))
        reader.transmit(h("FF C2 00 00 02 81 00"))
        self.assertEqual(reader.transmit(h("FF C2 00 02 04 8F 02 00 03")), h("C0 03 01 64 01 90 00"))
        reader.transmit(h("FF C2 00 00 02 82 00"))
        self.assertEqual(reader.transmit(h("FF C2 00 02 04 8F 02 03 00")), h("C0 03 01 69 86 90 00"),
                         "after the end of the session")


class FakeVpcd:
    """A listening socket in vpcd's place."""

    def __init__(self):
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.server.settimeout(10)
        self.port = self.server.getsockname()[1]

    def accept(self):
        conn, _ = self.server.accept()
        conn.settimeout(10)
        return conn

    @staticmethod
    def ask(conn, payload):
        conn.sendall(struct.pack(">H", len(payload)) + payload)
        n = struct.unpack(">H", conn.recv(2))[0]
        data = b""
        while len(data) < n:
            data += conn.recv(n - len(data))
        return data

    @staticmethod
    def closed_within(conn, seconds):
        conn.settimeout(seconds)
        try:
            return conn.recv(1) == b""
        except socket.timeout:
            return False


class VpcdProtocolTest(unittest.TestCase):
    def start(self, port, *args):
        p = subprocess.Popen([sys.executable, TOOL, "--port", str(port)] + list(args),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(lambda: (p.poll() is None and p.terminate(), p.wait(5), p.stdout.close()))
        return p

    def fake_vpcd(self):
        vpcd = FakeVpcd()
        self.addCleanup(vpcd.server.close)
        return vpcd

    def accept(self, vpcd):
        conn = vpcd.accept()
        self.addCleanup(conn.close)
        return conn

    def test_schedule_controls_apdus_and_coming_back(self):
        vpcd = self.fake_vpcd()
        self.start(vpcd.port, "--card", "t3", "--felica-atr", "old424", "--schedule", "0-1.5,2-")
        first = self.accept(vpcd)
        first.sendall(struct.pack(">H", 1) + b"\x01")   # power on: no answer
        atr = FakeVpcd.ask(first, b"\x04")
        self.assertEqual(atr, vc.make_card(options(card="t3", felica_atr="old424")).atr())
        self.assertEqual(FakeVpcd.ask(first, h("FF CA 00 00 00")), h(vc.DEFAULTS["idm"]) + vc.SW_OK)
        start = time.monotonic()
        self.assertTrue(FakeVpcd.closed_within(first, 5), "the card leaves at its time")
        self.assertLess(time.monotonic() - start, 3)
        second = self.accept(vpcd)
        self.assertEqual(FakeVpcd.ask(second, b"\x04"), atr, "the card comes back")

    def test_scenario_file_plays_other_cards_and_profiles_in_turn(self):
        vpcd = self.fake_vpcd()
        scenario = {"profile": "storage", "uri": "https://example.org/s", "text": "",
                    "entries": [{"at": 0, "leave": 1, "card": "t2"},
                                {"at": 1.3, "card": "t4b", "profile": "pn532", "pupi": "CAFEBABE"}]}
        path = os.path.join(self.tmp(), "scenario.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(scenario, f)
        self.start(vpcd.port, "--scenario", path)
        first = self.accept(vpcd)
        self.assertEqual(FakeVpcd.ask(first, b"\x04")[13:15], h("00 03"), "a Type 2 Tag first")
        page4 = FakeVpcd.ask(first, h("FF B0 00 04 20"))
        self.assertEqual(page4[2:2 + page4[1]], vc.ndef_message("https://example.org/s", ""),
                         "the scenario's NDEF message, through its reader profile")
        self.assertTrue(FakeVpcd.closed_within(first, 5))
        second = self.accept(vpcd)
        self.assertEqual(FakeVpcd.ask(second, b"\x04"), vc.make_card(options(card="t4b")).atr())
        listed = FakeVpcd.ask(second, h("FF 00 00 00 05 D4 4A 01 03 00"))
        self.assertEqual(listed[:9], h("D5 4B 01 01 50 CA FE BA BE"), "the entry's profile and PUPI")

    def tmp(self):
        import tempfile
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        return d.name

    def test_a_present_card_connects_again_when_vpcd_closes(self):
        vpcd = self.fake_vpcd()
        p = self.start(vpcd.port, "--card", "t2")
        vpcd.accept().close()   # pcscd went away
        again = self.accept(vpcd)
        self.assertEqual(FakeVpcd.ask(again, b"\x04")[13:15], h("00 03"))
        p.terminate()
        self.assertEqual(p.wait(5), 0)
        self.assertIn("vpcd closed", p.stdout.read())


if __name__ == "__main__":
    unittest.main()
