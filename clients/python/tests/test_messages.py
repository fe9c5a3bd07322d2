# SPDX-License-Identifier: MIT
"""Tests of capi_bridge.messages: readers on messages as the emulator and Debian's
libcapi20 write them, builders against the bytes docs/protocol.md shows."""

import unittest

from capi_bridge import messages as cm


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# Messages captured from capi-host-emulator and libcapi20, with what a reader makes of them.
CAPTURED = [
    ("CONNECT_CONF", cm.read_conf, "0e00 9a01 0281 0100 01010000 0000", cm.Conf(0x101, 0)),
    ("CONNECT_IND", cm.read_connect_ind,
     "1e00 9b01 0282 0100 01020000 0200 03803432 050080343130 000000000000",
     cm.ConnectInd(0x201, 2, "42", "410")),
    ("CONNECT_IND, calling number without presentation octet", cm.read_connect_ind,
     "1d00 9b01 0282 0100 01020000 0200 03803432 0480343130 000000000000",
     cm.ConnectInd(0x201, 2, "42", "410")),
    ("CONNECT_B3_IND", cm.read_address, "0d00 9b01 8282 0300 01020100 00", 0x10201),
    ("DATA_B3_IND from libcapi20", cm.read_data_b3,
     "1e00 0100 8682 7800 01010100 00000000 2000 0200 0000 1e235f52ea550000",
     cm.DataB3(0x10101, 32, 2, 0)),
    ("DATA_B3_CONF", cm.read_data_b3_conf, "1000 9b01 8681 0700 01020100 0100 0000",
     cm.DataB3Conf(0x10201, 1, 0)),
    ("DISCONNECT_B3_IND", cm.read_disconnect_b3_ind, "0f00 9b01 8482 0900 01020100 0000 00",
     cm.DisconnectB3Ind(0x10201, 0)),
    ("DISCONNECT_IND", cm.read_disconnect_ind, "0e00 9b01 0482 0a00 01020000 9034",
     cm.DisconnectInd(0x201, 0x3490)),
]


class ReaderTest(unittest.TestCase):
    def test_captured_messages(self):
        for name, read, message, expected in CAPTURED:
            with self.subTest(name):
                self.assertEqual(read(h(message)), expected)
                self.assertEqual(cm.name_of(h(message)), name.split(",")[0].split()[0])

    def test_parameters_past_the_length_field_read_as_none(self):
        # The bytes are all there; the length field says they are not part of the message.
        cases = [
            ("calling number cut", cm.read_connect_ind, CAPTURED[1][2], 22),
            ("Data handle cut", cm.read_data_b3, CAPTURED[4][2], 19),
            ("reason cut", cm.read_disconnect_ind, CAPTURED[7][2], 13),
        ]
        for name, read, message, length in cases:
            with self.subTest(name):
                self.assertIsNone(read(length.to_bytes(2, "little") + h(message)[2:]))

    def test_unreadable_headers(self):
        for name, message in [("7 bytes", "0700 0100 0581 01"),
                              ("length below 8", "0700 0100 0581 0100"),
                              ("length beyond the bytes", "0900 0100 0581 0100")]:
            with self.subTest(name):
                self.assertIsNone(cm.read_header(h(message)))
                self.assertIsNone(cm.read_conf(h(message)))


class BuilderTest(unittest.TestCase):
    def test_messages_as_the_protocol_reference_shows_them(self):
        cases = [
            ("LISTEN_REQ", cm.listen_req(1, 1, 1, cip_mask=0x1F03FF, info_mask=0x3FF),
             "1a 00 01 00 05 80 01 00 01 00 00 00 ff 03 00 00 ff 03 1f 00 00 00 00 00 00 00"),
            ("DATA_B3_REQ", cm.data_b3_req(1, 2, 0x10101, 5, 8),
             "1e 00 01 00 86 80 02 00 01 01 01 00 00 00 00 00 08 00 05 00 00 00"
             "00 00 00 00 00 00 00 00"),
            ("DATA_B3_RESP", cm.data_b3_resp(1, 7, 0x10101, 0),
             "0e 00 01 00 86 83 07 00 01 01 01 00 00 00"),
        ]
        for name, built, expected in cases:
            with self.subTest(name):
                self.assertEqual(built, h(expected))


if __name__ == "__main__":
    unittest.main()
