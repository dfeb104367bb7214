#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the ffmpeg test vectors
(tests/dvb/ffmpeg_vectors.h): packets and sections, codec inputs, descriptor loops and names.

Run from anywhere: tests/fuzz/make_seeds.py
"""
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = os.path.join(HERE, '..', 'dvb', 'ffmpeg_vectors.h')
CORPUS = os.path.join(HERE, 'corpus')


def arrays():
    text = open(VECTORS).read()
    for name, body in re.findall(r'inline const unsigned char (\w+)\[\] = \{(.*?)\};', text, re.S):
        yield name, bytes(int(b, 16) for b in re.findall(r'0x([0-9a-f]{2})', body))


def packetise(section, pid):
    out, at, cc = b'', 0, 0
    while at < len(section) or not out:
        head = bytes([0x47, (0x40 if at == 0 else 0) | pid >> 8, pid & 0xFF, 0x10 | cc])
        room = 183 if at == 0 else 184
        chunk = section[at:at + room]
        p = head + (b'\x00' if at == 0 else b'') + chunk
        out += p + b'\xff' * (188 - len(p))
        at += room
        cc = (cc + 1) & 0x0F
    return out


def descriptor_loops(section):
    """The descriptor loops of a PMT or SDT section."""
    loops = []
    if section[0] == 0x02:
        pil = (section[10] & 0x0F) << 8 | section[11]
        loops.append(section[12:12 + pil])
        at = 12 + pil
        while at + 5 <= len(section) - 4:
            eil = (section[at + 3] & 0x0F) << 8 | section[at + 4]
            loops.append(section[at + 5:at + 5 + eil])
            at += 5 + eil
    elif section[0] == 0x42:
        at = 11
        while at + 5 <= len(section) - 4:
            dll = (section[at + 3] & 0x0F) << 8 | section[at + 4]
            loops.append(section[at + 5:at + 5 + dll])
            at += 5 + dll
    return [l for l in loops if l]


def names(loop):
    at = 0
    while at + 2 <= len(loop):
        tag, length = loop[at], loop[at + 1]
        body = loop[at + 2:at + 2 + length]
        if tag == 0x48 and len(body) >= 2:
            p = body[1]
            yield body[2:2 + p]
            yield body[3 + p:3 + p + body[2 + p]]
        at += 2 + length


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def main():
    pids = {0x00: 0x0000, 0x02: 0x0100, 0x42: 0x0011}
    selector = {0x00: 0, 0x02: 1, 0x42: 2}
    for name, data in arrays():
        if name.endswith('_packets'):
            write('psisiparser', name, b'\x00' + data)
            continue
        tid = data[0]
        write('psisiparser', name + '_packets', b'\x00' + packetise(data, pids[tid]))
        which = {0x0000: 0, 0x0011: 2, 0x0100: 3}[pids[tid]]
        write('psisiparser', name + '_section', b'\x01' + bytes([which, len(data) >> 8, len(data) & 0xFF]) + data)
        write('section_codecs', name, bytes([selector[tid]]) + data)
        for i, loop in enumerate(descriptor_loops(data)):
            write('descriptor_loop', '%s_%d' % (name, i), loop)
            for k, text in enumerate(names(loop)):
                if text:
                    write('toutf8', '%s_%d_%d' % (name, i, k), text)
    # A NIT and a TDT for the codecs that ffmpeg does not write.
    write('section_codecs', 'nit', bytes([3]) + bytes.fromhex('40f01830 01c10000f005400349 7473f00600010002f000') + b'\0' * 4)
    write('section_codecs', 'tdt', bytes([4]) + bytes.fromhex('707005c079124500'))
    # Character tables, and a five-byte sequence that iconv once let through as UTF-8.
    for i, text in enumerate([b'\x05\xdd\xfe', b'\x10\x00\x02\xa3o', b'\x11\x04\x1f\x00x', b'Caf\xc2e', b'\x13\xd6\xd0',
                              b'\x15K\x02an\xfb\xba\xba\xba\xb0\xf4\xba\xba\xba']):
        write('toutf8', 'charset_%d' % i, text)


if __name__ == '__main__':
    main()
