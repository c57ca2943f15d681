#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into tests/fuzz/corpus/<target>/.

Each seed is a small input in the layout its target reads (see the comment at
the top of each fuzz_*.cpp); together they reach the layouts, the refusals and
the interesting names of each parser, so a short run starts deep. Run it again
after changing an input layout; the files are named after their contents'
purpose and rewritten whole.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
UNINSTALL_DATA = os.path.join(HERE, "..", "data", "uninstall")


def content_hash(data):
    h = a = b = c = d = 0
    for x in data:
        h = (h * 233 + x) & 0xFFFFFFFF
        a = (a + (h & 0xFF)) & 0xFF
        b ^= h & 0xFF
        c = (c + x) & 0xFF
        d ^= x
    return struct.pack("<I", h) + bytes([a, b, c, d])


def hash_list(records, long_layout=True, reserved=0, count=None):
    size = 256 if long_layout else 64
    out = (b"TLH_V2__" if long_layout else b"TLH_____") + struct.pack("<II", reserved, len(records) if count is None else count)
    for name, digest in records:
        out += name.ljust(size - 8, b"\0") + digest
    return out


def container(files, long_layout=True, count=None):
    record, field = (128, 96) if long_layout else (32, 16)
    magic = b"VORNAK ARC20" if long_layout else b"VORNAK ARC10"
    head = magic + struct.pack("<I", len(files) if count is None else count)
    directory = b""
    data = b""
    for name, payload in files:
        directory += name.ljust(field, b"\0") + struct.pack("<II", len(data), len(payload)) + b"\0" * (record - field - 8)
        data += payload
    return head + directory + data


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def container_seeds():
    arc = b"archive bytes\x00\x01\x02" * 3
    listed = hash_list([(b"data01100.arc", content_hash(arc)), (b"readme.txt", content_hash(b"hello"))])
    files = [(b"TLM.hvl", listed), (b"data01100.arc", arc), (b"readme.txt", b"hello")]
    write("fuzz_container", "long_with_hash_list", container(files))
    write("fuzz_container", "short_layout", container([(b"tlm.HVL", hash_list([], False)), (b"a.dat", b"xyz")], False))
    write("fuzz_container", "folder_record", container(
        [(b"TLM.hvl", hash_list([(b"data\\sub.dat", content_hash(b"s"))])), (b"sub.dat", b"s")]))
    write("fuzz_container", "unsafe_names", container(
        [(b"..\\evil.txt", b"e"), (b"con.txt", b"c"), (b"\x95\x5c.dat", b"k"), (b"a.tmp", b"t"), (b"a", b"u")]))
    write("fuzz_container", "too_many", container([], True, 33))
    write("fuzz_container", "directory_cut_short", container([(b"a", b"1"), (b"b", b"2")])[:16 + 128 + 40])
    write("fuzz_container", "name_without_terminator", b"VORNAK ARC10" + struct.pack("<I", 1) + b"A" * 16 + b"\0" * 16)
    write("fuzz_container", "past_4GiB", b"VORNAK ARC10" + struct.pack("<I", 1) + b"a".ljust(16, b"\0") +
          struct.pack("<II", 0xFFFFF000, 0x2000) + b"\0" * 8)


def hash_list_seeds():
    records = [(b"data01100.arc", b"\x01" * 8), (b"data\\sub.dat", b"\x02" * 8), (b"README.TXT", b"\x03" * 8),
               (b"readme.txt", b"\x04" * 8)]
    # Control byte: bits 4-6 choose which records' files exist.
    write("fuzz_hash_list", "long", b"\x70" + hash_list(records))
    write("fuzz_hash_list", "short", b"\x30" + hash_list(records, False, 5))
    write("fuzz_hash_list", "available_short_by_one", b"\x14" + hash_list(records[:2]))
    write("fuzz_hash_list", "read_only", b"\xf0" + hash_list(records[:1]))
    write("fuzz_hash_list", "count_too_large", b"\x00" + hash_list(records[:1], True, 0, 0xFFFFFFFF))
    write("fuzz_hash_list", "code_page_932_names", b"\x50" + hash_list(
        [(b"\x95\x5c.dat", b"\x05" * 8), (b"\x83\x5c\\x.bin", b"\x06" * 8), (b"\xe6\x97\xa5.dat", b"\x07" * 8)]))
    write("fuzz_hash_list", "no_terminator", b"\x00" + hash_list([(b"x" * 248, b"")])[:16 + 256])
    write("fuzz_hash_list", "empty_list", b"\x01" + hash_list([]))


def uninstall_seeds():
    names = b"data01100.arc|DATA\\new.dat|$keep|\x95\x5c.dat"
    for stem in ("crlf", "cp932_utf8", "dollar_lines", "line_end_inside_character", "nul_inside", "mixed_case"):
        path = os.path.join(UNINSTALL_DATA, stem + ".in.lst")
        if not os.path.exists(path):
            continue
        with open(path, "rb") as source:
            text = source.read()[:400]
        write("fuzz_uninstall_list", stem, bytes([0x01, len(names)]) + names + text)
    write("fuzz_uninstall_list", "read_only", bytes([0x03, 1]) + b"a" + b"a\r\nb\r\n")
    write("fuzz_uninstall_list", "utf8_names", bytes([0x05, 7]) + b"\xe6\x97\xa5|X.A" + b"\xe6\x97\xa5\nx.a\n")
    write("fuzz_uninstall_list", "only_zero", bytes([0x01, 1]) + b"z" + b"\0")
    write("fuzz_uninstall_list", "missing", bytes([0x00, 1]) + b"z" + b"a\n")


def text_seeds():
    def seed(name, text, code=0x5C, capacities=(32, 32, 3, 40, 40, 8)):
        write("fuzz_text", name, bytes(capacities) + struct.pack("<I", code) + text)

    seed("windows_path", b"C:\\Games\\Lumetria\\data01100.arc")
    seed("code_page_932_backslash", b"\x95\x5c\\\x83\x5c.dat", 0x955C)
    seed("utf8_path", "データ/日本語.dat".encode("utf-8"), 0x65E5)
    seed("half_width_katakana", b"\xb1\xb2\xb3.txt", 0xFF71)
    seed("cut_short", b"abc\xe3\x81", 0xFFFD)
    seed("surrogates", "a\U0001F600b".encode("utf-8") + b"\xed\xa0\xbd", 0x1F600)
    seed("overlong", b"\xe0\x80\x8a\xc0\x80x", 10)
    seed("long_component", b"d\\" + b"n" * 300 + b".ext", 0x2E, (255, 255, 3, 255, 255, 255))
    seed("utf16_units", b"ab\x00" + "日本".encode("utf-16-le") + b"\x00\xd8\x41\x00", 0x41)
    seed("tiny_capacities", b"ABC.Def", 0x41, (1, 1, 0, 1, 2, 0xFF))
    # Found by fuzzing: a code above 0xFF matched its low byte in 7-bit
    # text, and an overlong form of U+0000 passed for the terminator.
    seed("find_code_above_a_byte", b"", 0x4200, (8, 0, 0, 0, 0, 0x42))
    seed("find_overlong_zero", b"\xe0\x80\x80x", 0)


def registry_seeds():
    def seed(name, text):
        write("fuzz_registry", name, text.encode("utf-8") if isinstance(text, str) else text)

    seed("readme_example", 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]\r\n'
         '"InstalledFolder"="C:\\\\Games\\\\Lumetria"\r\n')
    seed("every_type", "\ufeffREGEDIT4\n; comment\n[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]\n@=\"default\"\n"
         "\"Count\"=dword:0000002a\n\"Blob\"=hex:01,02,ff\n\"Text\"=hex(1):41,00,42,00\n"
         "\"Multi\"=hex(7):41,00,00,00,\\\n  42,00,00,00,00,00\n\"Quote\"=\"a\\\"b\"\n")
    seed("removals", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\A\\B]\n\"x\"=\"1\"\n"
         "\"x\"=-\n[-HKEY_LOCAL_MACHINE\\Software\\A]\n\"y\"=\"2\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\\c]\n\"Z\"=\"3\"\n")
    seed("other_roots", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\X]\n\"v\"=\"w\"\n[HKEY_LOCAL_MACHINE\\Software\\日本]\n"
         "\"名前\"=\"値\"\n")
    seed("unterminated_string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]\n"
         "\"InstalledFolder\"=hex(1):43,00,3a,00\n\"odd\"=hex(2):41\n")
    seed("not_a_reg_file", "[HKEY_LOCAL_MACHINE\\Software]\n\"a\"=\"b\"\n")


def update_run_seeds():
    # flags, ui, count, then per entry: selector, flags, size byte, bytes.
    # Selectors index the name table of fuzz_update_run.cpp: 0 data01100.arc,
    # 3 readme.txt, 7 data\sub.dat, 9 a, 10 a.tmp, 12 ..\outside\sentinel,
    # 31 a name in code page 932, 33 a name in UTF-8, 39 sub.dat.
    def entry(selector, flags, size, data=b""):
        return bytes([selector, flags, size]) + data

    def seed(name, flags, ui, entries, uninstall=b"", flips=b""):
        write("fuzz_update_run", name, bytes([flags, ui, len(entries)]) + b"".join(entries) +
              bytes([len(uninstall)]) + uninstall + flips)

    seed("two_listed_files", 0x30, 0, [entry(0, 0x09, 40), entry(3, 0x21, 5, b"hello")], b"old.dat\r\n$keep\r\n")
    seed("into_sub_folder", 0x70, 0, [entry(39, 0x0B, 30), entry(7, 0x01, 20)], b"a\n")
    seed("read_only_originals", 0x10, 0, [entry(0, 0x19, 50), entry(31, 0x09, 10)], b"x\n")
    seed("wrong_hash", 0x10, 0, [entry(0, 0x05, 30), entry(3, 0x01, 30)], b"x\n")
    seed("unlisted_and_short_layouts", 0x13, 0, [entry(33, 0x00, 12), entry(9, 0x01, 9)], b"x\n")
    seed("planted_temporaries", 0x10, 0, [entry(0, 0x89, 20), entry(3, 0x99, 20)], b"x\n")
    seed("cancel_while_copying", 0x10, (1 << 6) | 6, [entry(0, 0x01, 200), entry(3, 0x01, 90)], b"x\n")
    seed("close_and_quit", 0x10, (2 << 6) | 9, [entry(0, 0x01, 90)], b"x\n")
    seed("unsafe_name", 0x10, 0, [entry(12, 0x01, 10), entry(10, 0x01, 10), entry(9, 0x01, 10)], b"x\n")
    seed("no_hash_list_hash_list_last", 0x1C, (3 << 6) | 3, [entry(0, 0x01, 10), entry(3, 0x00, 10)], b"x\n")
    seed("flipped_data", 0x90, 0, [entry(0, 0x01, 60)], b"x\n", struct.pack("<HB", 400, 0x10) * 2)


def main():
    container_seeds()
    hash_list_seeds()
    uninstall_seeds()
    text_seeds()
    registry_seeds()
    update_run_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
