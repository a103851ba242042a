#!/usr/bin/env python3
"""What a recording's header names against what its file holds (48 kHz, 16-bit stereo)."""
import os
import struct
import sys

p = sys.argv[1]
size = os.path.getsize(p)
with open(p, 'rb') as f:
    b = f.read(88)
named = struct.unpack('<I', b[84:88])[0] if len(b) >= 88 else 0
print(f"file holds {max(size - 88, 0) / 192000:.2f} s, header names {named / 192000:.2f} s")
