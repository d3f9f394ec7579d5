#!/usr/bin/env python3
"""Writes the corpus of small malformed AVI and WAVE files that the reader
must survive: lying sizes, indexes pointing outside the file or at
themselves, formats without sense. Run it from this folder to renew them."""
import struct


def chunk(fourcc, data, size=None):
    size = len(data) if size is None else size
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", size) + data + pad


def lst(kind, body, size=None):
    return chunk(b"LIST", kind + body, size)


def riff(kind, body, size=None):
    return chunk(b"RIFF", kind + body, size)


def wavefmt(tag=1, channels=2, rate=44100, bits=16, block=None, avg=None):
    block = channels * bits // 8 if block is None else block
    avg = rate * block if avg is None else avg
    return struct.pack("<HHIIHH", tag, channels, rate, avg, block, bits)


def strh(kind, handler=b"\0\0\0\0", scale=1, rate=25, length=1, sample=0):
    return chunk(b"strh", kind + handler + struct.pack("<IHHIIIIIIII4h", 0, 0, 0, 0, scale, rate, 0, length, 0,
                                                       0xFFFFFFFF, sample, 0, 0, 8, 8))


def bih(width=8, height=8, bits=24, compression=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, 0, 0, 0, 0, 0)


def avi(strls, movi, tail=b""):
    hdrl = lst(b"hdrl", chunk(b"avih", b"\0" * 56) + b"".join(strls))
    return riff(b"AVI ", hdrl + lst(b"movi", movi) + tail)


video = lst(b"strl", strh(b"vids") + chunk(b"strf", bih()))
frame = chunk(b"00db", b"\x11" * 192)
files = {
    "valid.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt()) + chunk(b"data", b"\1\2\3\4" * 64)),
    "valid.avi": avi([video], frame * 3, chunk(b"idx1", struct.pack("<4sIII", b"00db", 0x10, 4, 192) * 3)),
    "zero_block_align.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt(block=0)) + chunk(b"data", b"\0" * 16)),
    "zero_channels.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt(channels=0, block=4)) + chunk(b"data", b"\0" * 16)),
    "huge_data.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt()) + chunk(b"data", b"\0" * 10, 0xFFFFFFF0)),
    "short_fmt.wav": riff(b"WAVE", chunk(b"fmt ", b"\1\0") + chunk(b"data", b"\0" * 8)),
    "no_data.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt())),
    "huge_fmt.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt(), 0x7FFFFFFF)),
    "extensible.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt(tag=0xFFFE, channels=6, bits=24) + struct.pack(
        "<HHI16s", 22, 24, 0x3F, b"\1\0\0\0\0\0\x10\0\x80\0\0\xaa\0\x38\x9b\x71")) + chunk(b"data", b"\0" * 36)),
    "odd_block.wav": riff(b"WAVE", chunk(b"fmt ", wavefmt(block=3)) + chunk(b"data", b"\7" * 100)),
    "riff_lies.avi": avi([video], frame)[:8] + b"\xff\xff\xff\x7f" + avi([video], frame)[12:],
    "hdrl_lies.avi": riff(b"AVI ", lst(b"hdrl", chunk(b"avih", b"\0" * 56), 0x7FFFFFF0)),
    "no_strf.avi": avi([lst(b"strl", strh(b"vids"))], frame),
    "huge_strf.avi": avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih(), 0xFFFFFFFF))], frame),
    "idx1_outside.avi": avi([video], frame, chunk(b"idx1", struct.pack("<4sIII", b"00db", 0x10, 0x7FFFFFF0,
                                                                             0x7FFFFFF0) * 4)),
    "idx1_unknown_stream.avi": avi([video], frame, chunk(b"idx1", struct.pack("<4sIII", b"97db", 0x10, 4, 192))),
    "no_index.avi": avi([video], lst(b"rec ", frame + frame) + frame),
    "deep_lists.avi": avi([video], lst(b"rec ", lst(b"rec ", lst(b"rec ", lst(b"rec ", frame))))),
    "zero_scale.avi": avi([lst(b"strl", strh(b"vids", scale=0, rate=0) + chunk(b"strf", bih()))], frame),
    "negative_size.avi": avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih(width=-5, height=-0x7FFFFFFF)))], frame),
    "audio_uneven.avi": avi([lst(b"strl", strh(b"auds", scale=4, rate=176400, sample=4) + chunk(b"strf", wavefmt()))],
                            chunk(b"00wb", b"\1" * 7) + chunk(b"00wb", b"\2" * 2) + chunk(b"00wb", b"\3" * 9)),
    "audio_zero_sample.avi": avi([lst(b"strl", strh(b"auds", sample=0) + chunk(b"strf", wavefmt()))],
                                 chunk(b"00wb", b"\1" * 16)),
    "empty_name.avi": avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih()) + chunk(b"strn", b""))], frame),
}

# OpenDML: a super index whose entries all name the same standard index,
# one that names itself, and standard indexes with lying counts.
ix = chunk(b"ix00", struct.pack("<HBBI4sQI", 2, 0, 1, 1, b"00db", 0, 0) + struct.pack("<II", 4000, 192))
indx_many = struct.pack("<HBBI4s3I", 4, 0, 0, 4000, b"00db", 0, 0, 0) + struct.pack("<QII", 400, len(ix), 1) * 4000
files["indx_repeats.avi"] = avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih()) + chunk(b"indx", indx_many))],
                                frame + ix)
indx_self = struct.pack("<HBBI4s3I", 4, 0, 0, 1, b"00db", 0, 0, 0) + struct.pack("<QII", 12, 64, 1)
files["indx_self.avi"] = avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih()) + chunk(b"indx", indx_self))], frame)
ix_lying = chunk(b"ix00", struct.pack("<HBBI4sQI", 2, 0, 1, 0x7FFFFFFF, b"00db", 0, 0))
indx_one = struct.pack("<HBBI4s3I", 4, 0, 0, 1, b"00db", 0, 0, 0) + struct.pack("<QII", 0, len(ix_lying), 1)
files["ix_lying_count.avi"] = avi([lst(b"strl", strh(b"vids") + chunk(b"strf", bih()) + chunk(b"indx", indx_one))],
                                  ix_lying)
files["many_streams.avi"] = avi([video] * 150, frame)
files["avix_lies.avi"] = files["valid.avi"] + riff(b"AVIX", lst(b"movi", frame, 0x7FFFFFFF))

for name, data in files.items():
    with open(name, "wb") as out:
        out.write(data)
