#!/usr/bin/env python3
"""The stub's budget, read from its PE headers: the file fits in 64 KiB, its ImageBase is 0 and
its image ends in memory below 0x20000. Builders that add sections with objcopy at fixed
addresses (.osrel at 0x20000, .cmdline at 0x30000, ..., .linux at 0x2000000) count them from
ImageBase and need them above the stub's own."""

import struct
import sys
import unittest
from pathlib import Path

FILE_BUDGET = 64 * 1024
FIRST_FIXED_ADDRESS = 0x20000


class StubBudget(unittest.TestCase):
    def test_stub_fits_its_budget(self):
        stub = Path(sys.argv[1]).read_bytes()
        self.assertLessEqual(len(stub), FILE_BUDGET, f"the stub is {len(stub)} bytes")
        (pe,) = struct.unpack_from("<I", stub, 0x3C)
        self.assertEqual(stub[pe:pe + 4], b"PE\0\0")
        optional = pe + 24
        self.assertEqual(struct.unpack_from("<H", stub, optional)[0], 0x20B, "PE32+")
        (image_base,) = struct.unpack_from("<Q", stub, optional + 24)
        (size_of_image,) = struct.unpack_from("<I", stub, optional + 56)
        self.assertEqual(image_base, 0)
        self.assertLess(size_of_image, FIRST_FIXED_ADDRESS, hex(size_of_image))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
