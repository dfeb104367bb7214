#!/usr/bin/env python3
"""Regenerates ../ffmpeg_vectors.h: transport streams made by ffmpeg, the PSI/SI sections cut out
of them, and what ffprobe and tshark read in those streams (the expected values of the tests).

Run from anywhere: tests/dvb/vectors/regenerate.py
"""
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, '..', 'ffmpeg_vectors.h')

# A minimal raw DVB subtitle stream (one empty display set, three times) for ffmpeg to carry.
DVBSUB = bytes([0x20, 0x00, 0x0F, 0x10, 0x00, 0x01, 0x00, 0x02, 0x05, 0x04,
                0x0F, 0x80, 0x00, 0x01, 0x00, 0x00, 0xFF]) * 3



def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def teletext_source():
    """A small TS with one teletext stream (deu initial page, eng subtitles) for ffmpeg to carry:
    ffmpeg cannot make teletext, but it copies it and writes its own PMT for it."""
    def section(tid, ext, body):
        s = bytes([tid, 0xB0 | (len(body) + 9) >> 8, (len(body) + 9) & 0xFF, ext >> 8, ext & 0xFF, 0xC1, 0, 0]) + body
        return s + crc32(s).to_bytes(4, 'big')
    cc = {}
    def packets(pid, payload):
        out, first = b'', True
        while payload or first:
            c = cc.get(pid, 0)
            cc[pid] = (c + 1) & 0x0F
            chunk, payload = payload[:184], payload[184:]
            head = bytes([0x47, (0x40 if first else 0) | pid >> 8, pid & 0xFF])
            if len(chunk) < 184:
                n = 184 - len(chunk)
                out += head + bytes([0x30 | c]) + (b'\x00' if n == 1 else bytes([n - 1, 0]) + b'\xff' * (n - 2)) + chunk
            else:
                out += head + bytes([0x10 | c]) + chunk
            first = False
        return out
    descriptor = bytes([0x56, 10]) + b'deu' + bytes([0x09, 0x00]) + b'eng' + bytes([0x10, 0x88])
    pat = section(0x00, 1, bytes([0, 1, 0xE1, 0x00]))
    pmt = section(0x02, 1, bytes([0xE1, 0x01, 0xF0, 0x00, 0x06, 0xE1, 0x01, 0xF0, len(descriptor)]) + descriptor)
    ts = b''
    for i in range(10):
        pts = 90000 + i * 3600
        stamp = bytes([0x21 | (pts >> 29) & 0x0E, (pts >> 22) & 0xFF, 0x01 | (pts >> 14) & 0xFE, (pts >> 7) & 0xFF,
                       0x01 | (pts << 1) & 0xFE])
        body = bytes([0x80, 0x80, 0x24]) + stamp + b'\xff' * 31 + bytes([0x10]) + (bytes([0x02, 0x2C]) + bytes(44)) * 3
        pes = b'\x00\x00\x01\xbd' + len(body).to_bytes(2, 'big') + body
        ts += packets(0, b'\x00' + pat) + packets(0x100, b'\x00' + pmt) + packets(0x101, pes)
    return ts


LAVFI = ['-f', 'lavfi', '-i', 'testsrc=size=64x48:rate=25', '-f', 'lavfi', '-i', 'sine=frequency=1000']

STREAMS = {
    # Two programs: MPEG-2 video, MP2 audio (eng) and DVB subtitles (deu); H.264 video and AC-3
    # audio (fra) carried as private data with the DVB AC-3 descriptor.
    'two_programs': LAVFI + ['-f', 'dvbsub', '-i', '@SUB@', '-t', '0.5',
        '-map', '0:v', '-map', '1:a', '-map', '2:s', '-map', '0:v', '-map', '1:a',
        '-c:v:0', 'mpeg2video', '-c:a:0', 'mp2', '-c:s', 'copy', '-c:v:1', 'libx264', '-c:a:1', 'ac3',
        '-metadata:s:a:0', 'language=eng', '-metadata:s:s:0', 'language=deu', '-metadata:s:a:1', 'language=fra',
        '-program', 'title=Alpha One:program_num=1:st=0:st=1:st=2',
        '-program', 'title=Beta Two:program_num=2:st=3:st=4',
        '-metadata:p:0', 'service_provider=Provider A', '-metadata:p:1', 'service_provider=Provider B',
        '-mpegts_flags', 'system_b', '-mpegts_transport_stream_id', '0x1234',
        '-mpegts_original_network_id', '0x2345', '-f', 'mpegts'],
    # Non-ASCII names (sent as UTF-8), an HD service type, AC-3 as stream_type 0x81, chosen PIDs.
    'utf8_names': LAVFI + ['-t', '0.5', '-map', '0:v', '-map', '1:a', '-c:v', 'libx264', '-c:a', 'ac3',
        '-metadata', 'service_name=Kanal Ü', '-metadata', 'service_provider=Prøvider',
        '-mpegts_service_type', 'advanced_codec_digital_hdtv', '-mpegts_service_id', '257',
        '-mpegts_pmt_start_pid', '0x200', '-mpegts_start_pid', '0x300', '-f', 'mpegts'],
    # A teletext stream copied by ffmpeg, which writes its teletext descriptor.
    'teletext': ['-i', '@TT@', '-map', '0', '-c', 'copy', '-metadata', 'service_name=Videotext',
        '-metadata', 'service_provider=Text Provider', '-f', 'mpegts'],
    # Twelve services with long names: an SDT that spans several TS packets.
    'many_services': ['-f', 'lavfi', '-i', 'testsrc=size=64x48:rate=25', '-t', '0.2']
        + sum([['-map', '0:v'] for _ in range(12)], [])
        + ['-c:v', 'mpeg2video']
        + sum([['-program', 'title=Service number %02d with a long name:program_num=%d:st=%d' % (i + 1, i + 1, i)]
               for i in range(12)], [])
        + sum([['-metadata:p:%d' % i, 'service_provider=Provider of the many services'] for i in range(12)], [])
        + ['-f', 'mpegts'],
}


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True).stdout.decode()


def packets(ts, pid):
    for i in range(0, len(ts) - 187, 188):
        p = ts[i:i + 188]
        if ((p[1] & 0x1F) << 8 | p[2]) == pid:
            yield p


def first_section(ts, pid):
    """The first complete section of the PID and the packets that carried it."""
    buf, used, want = None, [], 0
    for p in packets(ts, pid):
        start = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        if p[1] & 0x40:
            start += 1 + p[start]
            buf, used = bytearray(p[start:]), [p]
            want = ((buf[1] & 0x0F) << 8 | buf[2]) + 3
        elif buf is not None:
            buf += p[start:]
            used.append(p)
        if buf is not None and len(buf) >= want:
            return bytes(buf[:want]), used
    raise SystemExit('no section on PID 0x%x' % pid)


def c_array(name, data):
    rows = [', '.join('0x%02x' % b for b in data[i:i + 16]) for i in range(0, len(data), 16)]
    return 'inline const unsigned char %s[] = {\n    %s,\n};\n' % (name, ',\n    '.join(rows))


def c_str(s):
    return '"' + ''.join(c if c.isascii() and c.isprintable() and c not in '"\\' else
                         ''.join('\\x%02x""' % b for b in c.encode()) for c in s) + '"'


def main():
    out = ['// Generated by tests/dvb/vectors/regenerate.py from transport streams that ffmpeg made;',
           '// the expected values are what ffprobe and tshark read in the same streams.',
           '// ' + run(['ffmpeg', '-version']).splitlines()[0],
           '// ' + run(['tshark', '-v']).splitlines()[0],
           '// clang-format off', '#pragma once', '', '#include <cstddef>', '', 'namespace ffmpeg_vectors {', '',
           'struct ProbedProgram {', '    int program_number;', '    int pmt_pid;', '    int pcr_pid;',
           '    const char* service_name;', '    const char* provider_name;', '};', '',
           'struct ProbedStream {', '    int program_number;', '    int pid;', '    int stream_type;', '};', '']
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, 'sub.dvbsub'), 'wb') as f:
            f.write(DVBSUB)
        with open(os.path.join(tmp, 'teletext_source.ts'), 'wb') as f:
            f.write(teletext_source())
        for name, args in STREAMS.items():
            ts_path = os.path.join(tmp, name + '.ts')
            cmd = ['ffmpeg', '-hide_banner', '-loglevel', 'error', '-y'] + [a.replace('@SUB@', 'sub.dvbsub').replace('@TT@', 'teletext_source.ts') for a in args] + [name + '.ts']
            subprocess.run(cmd, check=True, cwd=tmp)
            with open(ts_path, 'rb') as f:
                ts = f.read()
            shown = ' '.join("'%s'" % a if (' ' in a or not a.isascii()) else a for a in cmd)
            out.append('// ' + name + ':')
            out.append('//   ' + shown)
            probe = json.loads(run(['ffprobe', '-v', 'error', '-show_programs', '-of', 'json', ts_path]))
            progs = sorted(probe['programs'], key=lambda p: p['program_num'])
            out.append('inline const ProbedProgram %s_programs[] = {' % name)
            for p in progs:
                out.append('    {%d, 0x%x, 0x%x, %s, %s},' % (p['program_num'], p['pmt_pid'], p['pcr_pid'],
                           c_str(p['tags']['service_name']), c_str(p['tags']['service_provider'])))
            out.append('};')
            fields = run(['tshark', '-r', ts_path, '-Y', 'mpeg_pmt', '-T', 'fields', '-E', 'separator=;',
                          '-e', 'mpeg_pmt.pg_num', '-e', 'mpeg_pmt.stream.type', '-e', 'mpeg_pmt.stream.elementary_pid'])
            streams = set()
            for line in fields.splitlines():
                prog, types, pids = line.split(';')
                for t, pid in zip(types.split(','), pids.split(',')):
                    streams.add((int(prog, 0), int(pid, 0), int(t, 0)))
            out.append('inline const ProbedStream %s_streams[] = {' % name)
            out += ['    {%d, 0x%x, 0x%02x},' % s for s in sorted(streams)]
            out.append('};')
            pat, _ = first_section(ts, 0)
            out.append(c_array(name + '_pat', pat))
            sdt, sdt_packets = first_section(ts, 0x11)
            out.append(c_array(name + '_sdt', sdt))
            if len(sdt_packets) > 1:
                out.append('// The TS packets that carried the SDT above.')
                out.append(c_array(name + '_sdt_packets', b''.join(sdt_packets)))
            # The PMTs of the first two programs (the others of many_services differ only in PIDs).
            for p in progs[:2]:
                pmt, _ = first_section(ts, p['pmt_pid'])
                out.append(c_array('%s_pmt_%d' % (name, p['program_num']), pmt))
    out.append('}  // namespace ffmpeg_vectors')
    with open(OUT, 'w') as f:
        f.write('\n'.join(out) + '\n')


if __name__ == '__main__':
    main()
