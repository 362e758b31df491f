#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/TARGET/.

Usage: fuzz/make_seeds.py SBC_FILE   (raw SBC frames: 44.1 kHz joint stereo,
8 subbands, 16 blocks, as `blmx-sbc encode` writes by default)."""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sbc = open(sys.argv[1], 'rb').read()


def frames(count):
    """The first `count` frames of the SBC file (all the same length)."""
    out, at = [], 0
    length = 0
    # Joint stereo, 8 subbands, 16 blocks: the length follows from the bitpool.
    bitpool = sbc[2]
    length = 4 + (8 + 4 * 8 * 2 + 16 * bitpool + 7) // 8
    for _ in range(count):
        out.append(sbc[at:at + length])
        at += length
    return out


def write(target, name, data):
    d = os.path.join(here, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))


def short(*packets):  # one-byte length prefixes
    return b''.join(bytes([len(p)]) + bytes(p) for p in packets)


def wide(*packets):  # two-byte length prefixes
    return b''.join(struct.pack('>H', len(p)) + bytes(p) for p in packets)


caps = [0x01, 0x00, 0x07, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0x02, 0x35]
config = [0x01, 0x00, 0x07, 0x06, 0x00, 0x00, 0x21, 0x15, 0x02, 0x35]

# avdtpReadSignal: a command, a response with parameters, a fragmented message.
write('fuzz_read_signal', 'command', short([0x00, 0x01]))
write('fuzz_read_signal', 'response', short([0x12, 0x02] + caps))
write('fuzz_read_signal', 'fragmented', short([0x24, 0x03, 0x02, 0x03, 0x04, 0x20], [0x28] + config[:6], [0x2C] + config[6:]))

# avdtpTransact (byte 0 even) and avdtpDiscoverAndConfig (odd): label counter 0.
write('fuzz_transact', 'transact_open', bytes([0x00, 0x06, 0x04]) + short([0x02, 0x06]))
write('fuzz_transact', 'stale_then_match', bytes([0x04, 0x02, 0x04]) + short([0x72, 0x02], [0x00, 0x01], [0x22, 0x02] + caps))
write('fuzz_transact', 'discover_and_config', bytes([0x01, 0xBD, 0xFA]) +
      short([0x02, 0x01, 0x04, 0x08, 0x0C, 0x00], [0x12, 0x02] + caps, [0x22, 0x03]))
write('fuzz_transact', 'mono_fallback', bytes([0x01, 0x99, 0xFA]) +
      short([0x02, 0x01, 0x04, 0x08], [0x12, 0x02] + caps[:6] + [0x28, 0xFF, 0x02, 0x35], [0x23, 0x03, 0x00], [0x32, 0x03]))

# avdtpACPHandlePacket: a whole set-up from state 1.
write('fuzz_acceptor', 'setup', bytes([1]) + short([0x00, 0x01], [0x10, 0x02, 0x04], [0x20, 0x03, 0x04, 0x20] + config,
                                                   [0x30, 0x06, 0x04], [0x40, 0x07, 0x04], [0x50, 0x09, 0x04],
                                                   [0x60, 0x07, 0x04], [0x70, 0x08, 0x04]))
write('fuzz_acceptor', 'rejects', bytes([0]) + short([0x00, 0x03, 0x04, 0x20] + config, [0x10, 0x0A, 0x04], [0x20, 0x00], [0x32, 0x01]))

# SDP slots: flags, attribute (bit 7: 0x0004), vlen, value length, value.
usual = [0x35, 0x10, 0x35, 0x06, 0x19, 0x01, 0x00, 0x09, 0x00, 0x19, 0x35, 0x06, 0x19, 0x00, 0x19, 0x09, 0x01, 0x02]
write('fuzz_sdp_scan', 'usual', bytes([0, 0x80, len(usual), len(usual)] + usual))
write('fuzz_sdp_scan', 'two_slots', bytes([0, 0x09, 4, 4, 1, 2, 3, 4, 0, 0x80, len(usual), len(usual)] + usual + [1, 0x80, 18, 0]))

# bt_receive: configuration 0xBD, bitpool 53, MTU 672, request 512 bytes, then media packets.
fs = frames(12)
def media(seq, group):
    return list(struct.pack('>BBHII', 0x80, 0x60, seq, seq * 640, 1)) + [len(group)] + list(b''.join(group))
write('fuzz_receive', 'stream', bytes([0xBD, 53, 0x02, 0xA0, 73]) + wide(media(0, fs[0:5]), media(1, fs[5:10]), media(2, fs[10:12])))
write('fuzz_receive', 'damaged', bytes([0xBD, 53, 0x02, 0xA0, 20]) + wide([0x80, 0x60, 0, 1], media(1, [fs[0][:40]]), [0x90] * 20, media(2, fs[1:3])))

# sbc_decode_frame: configuration, bit count, frame.
write('fuzz_decode_frame', 'frame', bytes([0xBD]) + struct.pack('>H', len(fs[0]) * 8) + fs[0])
write('fuzz_decode_frame', 'cut_short', bytes([0xBD]) + struct.pack('>H', 100) + fs[1])
write('fuzz_decode_frame', 'mismatch', bytes([0x81]) + struct.pack('>H', len(fs[2]) * 8) + fs[2])

# blmx-sbc's stream parser: frames with damage between them.
write('fuzz_sbc_stream', 'frames', b''.join(fs[:6]))
write('fuzz_sbc_stream', 'damaged', fs[0] + b'\x9c\x00\x01' + fs[1][:50] + fs[2] + fs[3])
