#!/usr/bin/env python3
"""Boots the smoke application on OVMF: its log lines must reach the serial console with the
location prefix of their call site, in their colours, and QEMU must end through isa-debug-exit."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vmrun  # noqa: E402

SMOKE_SOURCE = "test/vm/smoke/smoke.cpp"
EFI_LIGHTRED = 0x0C
EFI_YELLOW = 0x0E


class SmokeSource:
    """What the smoke application's source says its output must be."""

    def __init__(self, path: Path):
        self.lines = path.read_text().splitlines()

    def call_site(self, call: str) -> tuple[int, str]:
        """The 1-based line of the only line containing call, and the function enclosing it."""
        found = [i for i, line in enumerate(self.lines) if call in line]
        if len(found) != 1:
            raise AssertionError(f"{call!r} occurs {len(found)} times in {SMOKE_SOURCE}")
        for line in reversed(self.lines[:found[0]]):
            header = re.match(r"^[A-Za-z].*?\b(\w+)\s*\([^;]*\)\s*\{\s*$", line)
            if header:
                return found[0] + 1, header.group(1)
        raise AssertionError(f"no function encloses {call!r}")

    def constant(self, name: str) -> int:
        for line in self.lines:
            match = re.search(rf"\b{name}\s*=\s*(0x[0-9a-fA-F]+|\d+)\s*;", line)
            if match:
                return int(match.group(1), 0)
        raise AssertionError(f"{name} is not defined in {SMOKE_SOURCE}")


class SmokeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.source = SmokeSource(vmrun.source_dir() / SMOKE_SOURCE)
        with vmrun.Machine(name="smoke") as vm:
            vm.boot_efi(vmrun.build_file("korvane-smoke-x64.efi"))
            cls.result = vm.run(timeout=180)

    def expected_message(self, call: str, message: str) -> str:
        line, function = self.source.call_site(call)
        return f"{SMOKE_SOURCE}:{line}@{function}: {message}"

    def smoke_lines(self) -> list[vmrun.ConsoleLine]:
        lines = self.result.console_lines()
        starts = [i for i, line in enumerate(lines) if line.text == "smoke: start"]
        self.assertEqual(len(starts), 1, self.result.text())
        return lines[starts[0]:starts[0] + 5]

    def test_ends_through_debug_exit_after_its_output(self):
        self.assertEqual(self.result.debug_exit, self.source.constant("SMOKE_EXIT_VALUE"), self.result.text())

    def test_messages_carry_their_call_site_and_start_on_a_fresh_line(self):
        texts = [line.text for line in self.smoke_lines()]
        self.assertEqual(texts, [
            "smoke: start",
            "smoke: partial",
            self.expected_message('log_error(EFI_NOT_FOUND, "smoke: error line: %m")', "smoke: error line: Not found"),
            self.expected_message('log_warning(EFI_SUCCESS, "smoke: warning line %i", 42)', "smoke: warning line 42"),
            "smoke: done",
        ], self.result.text())

    def test_messages_have_their_colours_and_restore_the_previous_one(self):
        start, partial, error, warning, done = self.smoke_lines()
        self.assertEqual(error.attribute, EFI_LIGHTRED)
        self.assertEqual(warning.attribute, EFI_YELLOW)
        self.assertNotIn(start.attribute, (EFI_LIGHTRED, EFI_YELLOW))
        self.assertEqual(partial.attribute, start.attribute)
        self.assertEqual(done.attribute, start.attribute)


if __name__ == "__main__":
    unittest.main(verbosity=2)
