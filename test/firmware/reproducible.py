#!/usr/bin/env python3
"""The shipped EFI images build byte for byte the same from a copy of the sources elsewhere,
in another build directory with another CMAKE_BUILD_TYPE: no time stamp, no path, and no
flag of the host's build type reaches them."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ["KORVANE_SOURCE_DIR"])
BUILD = Path(os.environ["KORVANE_BUILD_DIR"])
TARGETS = {"korvane-stub": "korvane-stub-x64.efi", "korvane-addon": "korvane-addon-x64.efi"}


def cache_value(name: str) -> str:
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(f"{name}:"):
            return line.split("=", 1)[1]
    return ""


class Reproducible(unittest.TestCase):
    def test_second_build_elsewhere_gives_the_same_bytes(self):
        build_type = "Debug" if cache_value("CMAKE_BUILD_TYPE") != "Debug" else "Release"
        with tempfile.TemporaryDirectory(prefix="korvane-rebuild-") as tmp:
            source, build = Path(tmp) / "source", Path(tmp) / "build"
            # The sources without the repository and any build directory.
            shutil.copytree(SOURCE, source, ignore=lambda folder, names: [
                name for name in names if name == ".git" or (Path(folder, name) / "CMakeCache.txt").is_file()])
            for args in (["cmake", "-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={build_type}",
                          f"-DCMAKE_CXX_COMPILER={cache_value('CMAKE_CXX_COMPILER')}"],
                         ["cmake", "--build", build, "--target", *TARGETS]):
                proc = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL)
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            for name in TARGETS.values():
                self.assertEqual((build / name).read_bytes(), (BUILD / name).read_bytes(),
                                 f"{name} differs between {BUILD} and a {build_type} build in {build}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
