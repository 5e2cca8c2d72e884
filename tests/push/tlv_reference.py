"""An independent reader of the Tlv encoding and the push frame (Python's struct only).

Runs the tool, which prints every hand-worked golden beside our encoder's output for it, decodes
both into a JSON tree of [tag, type, value] fields, and compares each with the tree expected here.
"""
import json
import struct
import subprocess
import sys

TYPES = ["Int1", "Int2", "Int4", "Int8", "Float", "Double", "String1", "String4",
         "Map", "List", "Struct", "StructEnd", "Zero", "ByteList"]
INTS = {0: ">b", 1: ">h", 2: ">i", 3: ">q"}


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if n < 0 or self.pos + n > len(self.data):
            raise ValueError("input ends at %d, %d bytes wanted" % (self.pos, n))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def head(self):
        (b,) = self.take(1)
        tag, code = b >> 4, b & 15
        if tag == 15:
            (tag,) = self.take(1)
        if code > 13:
            raise ValueError("type code %d" % code)
        return tag, code

    def integer_field(self):
        tag, code = self.head()
        if tag != 0:
            raise ValueError("count field with tag %d" % tag)
        if code == 12:
            return 0
        if code not in INTS:
            raise ValueError("count field of type %s" % TYPES[code])
        return struct.unpack(INTS[code], self.take(struct.calcsize(INTS[code])))[0]

    def field(self):
        tag, code = self.head()
        return [tag, TYPES[code], self.payload(code)]

    def payload(self, code):
        if code in INTS:
            return struct.unpack(INTS[code], self.take(struct.calcsize(INTS[code])))[0]
        if code == 4:
            return struct.unpack(">f", self.take(4))[0]
        if code == 5:
            return struct.unpack(">d", self.take(8))[0]
        if code in (6, 7):
            (n,) = struct.unpack(">B" if code == 6 else ">I", self.take(1 if code == 6 else 4))
            return self.take(n).decode("utf-8")
        if code == 8:
            return [[self.field(), self.field()] for _ in range(self.integer_field())]
        if code == 9:
            return [self.field() for _ in range(self.integer_field())]
        if code == 10:
            return self.fields(nested=True)
        if code == 12:
            return 0
        if code == 13:
            if self.take(1) != b"\x00":
                raise ValueError("byte list element head")
            return self.take(self.integer_field()).hex()
        raise ValueError("unexpected %s" % TYPES[code])

    def fields(self, nested=False):
        out = []
        while self.pos < len(self.data):
            if nested and self.data[self.pos] == 0x0B:
                self.pos += 1
                return out
            out.append(self.field())
        if nested:
            raise ValueError("record without its end")
        return out


def decode_record(data):
    reader = Reader(data)
    return reader.fields()


def decode_frame(data):
    if len(data) < 17:
        raise ValueError("short frame")
    random, = struct.unpack("<I", data[2:6])
    length, zero = struct.unpack(">II", data[6:14])
    if length != len(data) or zero != 0:
        raise ValueError("length %d for %d bytes" % (length, len(data)))
    return {"magic": data[:2].hex(), "random": random, "fixed": data[14], "command": data[15],
            "code": data[16], "record": decode_record(data[17:])}


def s1(tag, text):
    return [tag, "String1", text]


AID = 2290150000
KEY = "0123456789abcdef0123456789abcdef"
CLICK = [[1, "List", [[0, "Struct", [[0, "Zero", 0], [1, "Int8", AID], [2, "Int2", 12345], [3, "Int4", 1400000000],
                                     [4, "Int1", 1], [5, "Zero", 0], [6, "Zero", 0]]]]]]
DEVICE_INFO = [s1(t, "") for t in (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13)] + \
    [s1(14, "zh-Hans"), s1(15, ""), s1(16, ""), s1(17, "")]


def listed_message(title_field):
    return [0, "Struct", [[0, "Zero", 0], [1, "Zero", 0], [2, "Zero", 0], title_field, s1(4, ""), [5, "Zero", 0],
                          s1(6, ""), [7, "Zero", 0], [8, "Zero", 0], s1(9, ""), [10, "Zero", 0], [11, "Zero", 0]]]


EXPECTED = {
    "int_300_tag1": [[1, "Int2", 300]],
    "zero_tag3": [[3, "Zero", 0]],
    "minus_one_tag0": [[0, "Int1", -1]],
    "int1_edges": [[0, "Int1", -128], [0, "Int1", 127]],
    "int2_edges": [[0, "Int2", 128], [0, "Int2", -129], [0, "Int2", 32767], [0, "Int2", -32768]],
    "int4_edges": [[0, "Int4", 32768], [0, "Int4", -32769], [0, "Int4", 2147483647], [0, "Int4", -2147483648]],
    "int8_edges": [[0, "Int8", 2147483648], [0, "Int8", -2147483649]],
    "u32_3e9_tag0": [[0, "Int8", 3000000000]],
    "u32_max_tag0": [[0, "Int8", 4294967295]],
    "one_tag14": [[14, "Int1", 1]],
    "one_tag15": [[15, "Int1", 1]],
    "one_tag200": [[200, "Int1", 1]],
    "bool_true_false": [[0, "Int1", 1], [1, "Zero", 0]],
    "float_one_tag2": [[2, "Float", 1.0]],
    "double_one_tag2": [[2, "Double", 1.0]],
    "string_abc_tag1": [s1(1, "abc")],
    "string_empty_tag1": [s1(1, "")],
    "string_255": [s1(0, "x" * 255)],
    "string_256": [[0, "String4", "y" * 256]],
    "string_300_utf8": [[0, "String4", "\u97e9" * 100]],
    "empty_data_tag4": [[4, "ByteList", ""]],
    "data_tag1": [[1, "ByteList", "010203"]],
    "empty_list_tag4": [[4, "List", []]],
    "empty_map_tag4": [[4, "Map", []]],
    "map_text_to_int": [[0, "Map", [[s1(0, "a"), [1, "Int1", 1]], [s1(0, "b"), [1, "Int2", 300]]]]],
    "empty_record_tag8": [[8, "Struct", []]],
    "click_request": CLICK,
    "reconnect_request": [s1(0, "tok"), s1(1, ""), [2, "Zero", 0], [5, "Struct", [s1(3, "")]], [6, "Int1", 1],
                          s1(8, ""), s1(9, "")],
    "token_tag_request_set": [[0, "Int8", AID], s1(1, "vip"), [2, "Int1", 1]],
    "token_tag_request_delete": [[0, "Int8", AID], s1(1, "vip"), [2, "Int1", 2]],
    "unregister_request": [[0, "Struct", [[0, "Struct", [[0, "Int8", AID], s1(1, KEY), s1(2, ""), [3, "Int1", 1]]],
                                          [1, "Int1", 1], [2, "Int4", 1400000000]]], [1, "Int1", 1]],
    "register_request": [[0, "Int8", AID], s1(1, KEY), s1(2, ""), s1(3, ""), s1(4, "acc"), s1(5, ""), [6, "Zero", 0],
                         [7, "Int1", 1], [8, "Struct", DEVICE_INFO], s1(9, "tok"), [10, "Zero", 0], [11, "Int1", 1],
                         [12, "Struct", [s1(0, "not found"), s1(1, "not found"), s1(2, "if_nametoindex failure"),
                                         s1(3, "")]],
                         [13, "Int1", 2], s1(14, "1.0"), s1(15, "{}")],
    "reply_with_long_message": [[0, "Zero", 0],
                                [1, "List", [listed_message(s1(3, "a")), listed_message([3, "String4", "b" * 5000]),
                                             listed_message(s1(3, "c"))]],
                                [2, "Zero", 0]],
    "backpatched_length": [[0, "Int4", 5], s1(1, "abc")],
    "adopted_buffer": [[1, "Int2", 300], s1(2, "abc")],
    "detached_click": CLICK,
    "frame_click": {"magic": "500a", "random": 3, "fixed": 1, "command": 16, "code": 0, "record": CLICK},
}


def main():
    output = subprocess.run([sys.argv[1]], check=True, capture_output=True, text=True).stdout
    failures = 0
    seen = set()
    for line in output.splitlines():
        name, golden, encoded = line.split(" ")
        seen.add(name)
        expected = EXPECTED.get(name)
        for which, text in (("golden", golden), ("encoded", encoded)):
            data = bytes.fromhex(text)
            try:
                tree = decode_frame(data) if name == "frame_click" else decode_record(data)
            except (ValueError, UnicodeDecodeError) as error:
                tree = "unreadable: %s" % error
            ok = json.dumps(tree, sort_keys=True) == json.dumps(expected, sort_keys=True)
            print(("ok    " if ok else "FAIL  ") + name + " " + which)
            if not ok:
                print("      got      " + json.dumps(tree, ensure_ascii=False)[:400])
                print("      expected " + json.dumps(expected, ensure_ascii=False)[:400])
                failures += 1
    for name in sorted(set(EXPECTED) - seen):
        print("FAIL  " + name + " not printed by the tool")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
