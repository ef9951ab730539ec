#!/usr/bin/env python3
"""Writes the start corpus of every fuzz target into corpus/<name>/ from the embedded image 3."""
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def image_lines(name):
    with open(os.path.join(ROOT, "firmware", name + ".cpp")) as f:
        return re.findall(r'"(:[0-9A-F]+)"', f.read())


def hex_line(count_type_addr_data):
    count, addr, rtype, data = count_type_addr_data
    b = [count, addr >> 8, addr & 0xFF, rtype] + data
    b.append((-sum(b)) & 0xFF)
    return ":" + "".join("%02X" % x for x in b)




def write(target, name, content):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(content, str):
        content = content.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content)


lines3 = image_lines("uSD_V4_106_P25_PR52_BL2_1")
lines1 = image_lines("uSD_V1_04_P3_PR3_BL2_0")

# HEX lines: real records, the end-of-file line, records the update skips, and refused ones.
write("hex", "eof", ":00000001FF")
write("hex", "record_image3", lines3[0])
write("hex", "record_image1", lines1[5])
write("hex", "short_record", hex_line((2, 0x1234, 0, [0xAB, 0xCD])))
write("hex", "extended_address", hex_line((2, 0, 4, [0, 1])))
write("hex", "lower_case", lines3[1].lower())
write("hex", "count_65", hex_line((65, 0, 0, [0x5A] * 65)))

header3 = ("bootloader=2\nbootloader version=1\nclass=26122\nversionH=4\nversionL=106\nplatform=25\n"
           "print=52\ndate=18.04.2024 11:42:26\n")
write("imagefile", "image3_part", header3 + "\n".join(lines3[:3] + [lines3[-1]]) + "\n")
write("imagefile", "header_only", header3)
write("imagefile", "crlf_comment", (header3 + "note=not a line\n" + lines3[0] + "\n\n" + lines3[-1]).replace("\n", "\r\n"))
write("imagefile", "bootloader_3_bad_int", header3.replace("bootloader=2", "bootloader=3").replace("print=52", "print=5x"))
write("imagefile", "short_header", "bootloader=2\nclass=26122\n")

write("params", "cc_minus", "cc:\0C:\\pellory.exe\0cc:-")
write("params", "mf_both", "mf:\0pellory.exe\0MF:+\0mf:-")
write("params", "f_plus", "f:\0pellory.exe\0f:\0-x\0F:+")
write("params", "long_value", "cc:\0prog\0cc:" + "x" * 1100)


def worker_input(flags, answers, cancel_at=0, fail_op=0, fail_at=0):
    return bytes([flags, cancel_at, fail_op, fail_at]) + b"".join(answers)


def plain(first7):
    assert len(first7) == 7
    return bytes([0] + list(first7))  # control 0: seven bytes, correct CRC


ECHO_OK = bytes([7, 0])  # the storing controller, status 0


def identity(platform, print_code):
    words = [[6, 0, 0, 5], [platform >> 8, platform & 0xFF, print_code >> 8, print_code & 0xFF], [2, 1, 0, 0]]
    return [plain([0, 0, 0x80 + w] + [(~b) & 0xFF for b in words[w]]) for w in range(3)]


start = [plain([0, 0, 0x66, 0x05, 0x07, 0x00, 0])] + [ECHO_OK] * 4 + [ECHO_OK] * 3 + [ECHO_OK] + identity(25, 52)
begin = [ECHO_OK] * 3
record = [ECHO_OK] * 36
finish = [ECHO_OK] * 3 + [ECHO_OK]
# File image of two records of image 3, answered all the way to the reset frame.
write("worker", "complete_file_run", worker_input(4 | (2 << 3) | (1 << 5), start + begin + record * 2 + finish))
# Embedded images: identified, then the logger falls silent during the first record.
write("worker", "embedded_then_silent", worker_input(0, start + begin + record[:20]))
write("worker", "read_info_only", worker_input(1, start))
write("worker", "setline_fails", worker_input(0, [], fail_op=2))
write("worker", "bad_crc_and_short", worker_input(0, [bytes([4]) + bytes(8), bytes([0x35, 1, 2, 3])] * 3))
write("worker", "cancel_at_frame_9", worker_input(0x80, start, cancel_at=8))
