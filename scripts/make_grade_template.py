#!/usr/bin/env python3
"""Writes the two still template resources, ResolveGradeTemplate.pb and ResolveGradeTemplate.xml.

No Resolve export ships with the program, so the template grade is assembled here, field by
field, after the public descriptions of Resolve's gallery stills (.drx): an XML document whose
root is <Gallery::GyStill>, with the grade in <pClipFullVer>/<ListMgt::LmVersion>/<Body> as
hexadecimal text of the byte 0x81 followed by a Zstandard frame holding a Protocol Buffers body.

The body holds a two-node serial grade:
  node 2 "CDL": a primary corrector with saturation, lift, gain and gamma per channel at their
                neutral values (the ten parameters the still writer replaces);
  node 6 "LUT": a LUT slot and the LUT path (replaced by the still writer).
Every value is fixed, so the output is the same on every run.

Usage:
  make_grade_template.py [RESOURCE_DIR]          write both files (default: resources/)
  make_grade_template.py --check [RESOURCE_DIR]  exit 1 when the files differ from what this writes
"""

import os
import struct
import sys

# ---------------------------------------------------------------- wire format


def varint(value):
    if value < 0:
        value += 1 << 64
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def v(number, value):
    """A varint field."""
    return varint(number << 3) + varint(value)


def ld(number, content):
    """A length-delimited field: bytes, text or an already encoded message."""
    if isinstance(content, str):
        content = content.encode("utf-8")
    return varint((number << 3) | 2) + varint(len(content)) + content


def f32(number, value):
    """A 32-bit float field, little-endian."""
    return varint((number << 3) | 5) + struct.pack("<f", value)


def msg(*fields):
    return b"".join(fields)


# ---------------------------------------------------------------- the grade

CDL_NODE = 2
LUT_NODE = 6
TIMESTAMP = 149252784  # Resolve writes a time stamp here; any fixed value keeps the file stable

SATURATION = 0x6000005
LIFT = (0x6000018, 0x6000019, 0x600001A)  # offsetShare, red, green, blue
GAIN = (0x600001D, 0x600001E, 0x600001F)  # scaledSlope
GAMMA = (0x6000022, 0x6000023, 0x6000024)  # powerOffset
LUT_SLOT = 0x860000A0
LUT_PATH = 0x860000A1
CORRECTOR_COMPANION = 0x88300001

PRIMARY_CORRECTOR = 1
COMPANION_CORRECTOR = 2


def float_param(identifier, value):
    return ld(3, msg(v(1, identifier), ld(2, f32(1, value))))


def varint_param(identifier, value):
    return ld(3, msg(v(1, identifier), ld(2, v(2, value))))


def text_param(identifier, text):
    return ld(3, msg(v(1, identifier), ld(2, ld(5, text))))


def corrector(kind, *params):
    """One corrector block: kind, enabled flag, and its parameter list in field 6 -> field 2."""
    parameter_list = msg(v(1, 1), *params)
    return ld(1, msg(v(1, kind), v(3, 1), ld(6, ld(2, parameter_list))))


def node(identifier, index, x, label, correctors, presence=b""):
    tools = msg(*correctors) + (ld(2, presence) if presence else b"")
    return ld(7, msg(
        v(1, identifier),
        v(2, index),
        v(4, x),
        v(5, 180),
        ld(6, label),
        v(7, 1),  # enabled
        v(8, 44),
        ld(9, tools),
    ))


def resolution(width=1920, height=1080):
    return ld(3, msg(
        v(1, width), v(2, height), f32(3, 1.0),
        v(4, width), v(5, height), f32(6, 1.0),
        v(7, width), v(8, height), v(9, 0xFFFFFFFF),
    ))


def grade_body():
    cdl_params = [float_param(SATURATION, 1.0)]
    for channel in range(3):
        cdl_params += [
            float_param(LIFT[channel], 0.0),
            float_param(GAIN[channel], 1.0),
            float_param(GAMMA[channel], 0.0),
        ]
    cdl = node(
        CDL_NODE, 1, 190, "CDL",
        [corrector(PRIMARY_CORRECTOR, *cdl_params),
         corrector(COMPANION_CORRECTOR, varint_param(CORRECTOR_COMPANION, 0))],
        presence=bytes([3, 4, 5, 6, 18]),
    )
    lut = node(
        LUT_NODE, 2, 460, "LUT",
        [corrector(PRIMARY_CORRECTOR, varint_param(LUT_SLOT, 6), text_param(LUT_PATH, ""))],
    )
    connection = ld(8, msg(v(1, CDL_NODE), v(3, LUT_NODE), v(5, 64), v(6, 64), v(7, 3)))
    grade_input = ld(9, msg(v(1, CDL_NODE + 6), v(2, 80),
                            ld(3, msg(v(1, CDL_NODE + 22), v(2, 64), v(3, CDL_NODE + 6), v(4, CDL_NODE)))))
    grade_output = ld(10, msg(v(1, LUT_NODE + 7), v(2, 64),
                              ld(3, msg(v(1, LUT_NODE + 23), v(2, 64), v(3, LUT_NODE + 7), v(4, LUT_NODE)))))
    grade = msg(
        v(1, LUT_NODE),  # Resolve writes the highest node identifier here
        v(2, 1),
        resolution(),
        cdl,
        lut,
        connection,
        grade_input,
        grade_output,
        v(11, 1),
        v(12, TIMESTAMP),
    )
    layout = msg(
        v(4, 190), v(5, 180), v(7, 1), v(8, 84), ld(9, b""),
        ld(10, ld(1, msg(v(1, 0xC0000001), ld(2, v(2, 2))))),
        v(12, TIMESTAMP),
    )
    return ld(1, grade) + ld(3, layout)


# ---------------------------------------------------------------- the wrapper

STILL_XML = """<?xml version="1.0" encoding="UTF-8"?>
<!--DbAppVer="19.1.3.0007" DbPrjVer="14"-->
<Gallery::GyStill DbId="@@TINTARA_DBID@@">
 <FieldsBlob/>
 <SrcHint>@@TINTARA_LABEL@@</SrcHint>
 <SrcType>1</SrcType>
 <GalleryPath/>
 <Label>@@TINTARA_LABEL@@</Label>
 <RecTC>01:00:00:00</RecTC>
 <SrcTC>00:00:00:00</SrcTC>
 <DpxDescriptor>50</DpxDescriptor>
 <Width>1920</Width>
 <Height>1080</Height>
 <BitDepth>10</BitDepth>
 <PAR>1</PAR>
 <Endianship>1</Endianship>
 <CreateTime>2026-01-01T00:00:00.000</CreateTime>
 <pClipFullVer>
  <ListMgt::LmVersion DbId="@@TINTARA_DBID@@">
   <FieldsBlob/>
   <Name/>
   <HasCorrection>true</HasCorrection>
   <VerType>0</VerType>
   <ImplVersion>1</ImplVersion>
   <IncludedInRecording>true</IncludedInRecording>
   <FlatPassEnabled>false</FlatPassEnabled>
   <RGBAOutputEnabled>false</RGBAOutputEnabled>
   <Body>@@TINTARA_BODY@@</Body>
   <UseVersionClipProcParams>true</UseVersionClipProcParams>
  </ListMgt::LmVersion>
 </pClipFullVer>
 <PrimaryCCMode>0</PrimaryCCMode>
</Gallery::GyStill>
"""


def outputs():
    return {
        "ResolveGradeTemplate.pb": grade_body(),
        "ResolveGradeTemplate.xml": STILL_XML.encode("utf-8"),
    }


def main(argv):
    check = "--check" in argv
    rest = [arg for arg in argv if arg != "--check"]
    folder = rest[0] if rest else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    stale = []
    for name, content in outputs().items():
        path = os.path.join(folder, name)
        if check:
            try:
                with open(path, "rb") as existing:
                    if existing.read() != content:
                        stale.append(name)
            except OSError:
                stale.append(name)
        else:
            os.makedirs(folder, exist_ok=True)
            with open(path, "wb") as out:
                out.write(content)
    if stale:
        print("out of date: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
