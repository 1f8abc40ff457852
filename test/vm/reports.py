"""The report lines that the probe and the launcher write on the serial port.

Each application writes "<PREFIX> begin", then one "<PREFIX> <key>=<value>" line per fact,
then "<PREFIX> end" (test/vm/report.h). Values are decimal numbers, statuses as 0x and 16 hex
digits, "yes"/"no", bytes as hex, or text with \\uXXXX escapes.
"""

from __future__ import annotations

import re

_TEXT_ESCAPE = re.compile(r"\\(\\|u[0-9a-f]{4})")


class ReportError(AssertionError):
    """A report is missing, unfinished or does not have the asked-for fact."""


class Report:
    def __init__(self, prefix: str, facts: dict[str, str], serial: str):
        self.prefix = prefix
        self.facts = facts
        self._serial = serial

    def __contains__(self, key: str) -> bool:
        return key in self.facts

    def raw(self, key: str) -> str:
        if key not in self.facts:
            raise ReportError(f"{self.prefix} report has no {key!r}; it has {sorted(self.facts)}\n{self._serial}")
        return self.facts[key]

    def number(self, key: str) -> int:
        return int(self.raw(key), 10)

    def status(self, key: str) -> int:
        value = self.raw(key)
        if not re.fullmatch(r"0x[0-9a-f]{16}", value):
            raise ReportError(f"{key}={value} is no status")
        return int(value, 16)

    def flag(self, key: str) -> bool:
        value = self.raw(key)
        if value not in ("yes", "no"):
            raise ReportError(f"{key}={value} is no flag")
        return value == "yes"

    def bytes(self, key: str) -> bytes:
        return bytes.fromhex(self.raw(key))

    def text(self, key: str) -> str:
        """The text as UTF-16 units, joined back into a str (surrogate pairs included)."""
        units = bytearray()
        pos = 0
        value = self.raw(key)
        for match in _TEXT_ESCAPE.finditer(value):
            units += value[pos:match.start()].encode("utf-16-le")
            escape = match.group(1)
            units += b"\\\x00" if escape == "\\" else int(escape[1:], 16).to_bytes(2, "little")
            pos = match.end()
        units += value[pos:].encode("utf-16-le")
        return units.decode("utf-16-le", errors="surrogatepass")


def parse_reports(serial: str, prefix: str, unfinished: bool = False) -> list[Report]:
    """Every complete report of one prefix in the (stripped) serial text, in order; with
    unfinished, also a last one that has no end line (its writer stopped the machine, or
    started an image that did)."""
    reports: list[Report] = []
    facts: dict[str, str] | None = None
    for line in serial.split("\n"):
        if not line.startswith(prefix + " "):
            continue
        rest = line[len(prefix) + 1:]
        if rest == "begin":
            facts = {}
        elif rest == "end" and facts is not None:
            reports.append(Report(prefix, facts, serial))
            facts = None
        elif facts is not None and "=" in rest:
            key, value = rest.split("=", 1)
            if key in facts:
                raise ReportError(f"{prefix} reports {key!r} twice:\n{serial}")
            facts[key] = value
    if unfinished and facts is not None:
        reports.append(Report(prefix, facts, serial))
    return reports


def only_report(serial: str, prefix: str, unfinished: bool = False) -> Report:
    """The one report of the prefix; see parse_reports for unfinished."""
    reports = parse_reports(serial, prefix, unfinished)
    if len(reports) != 1:
        raise ReportError(f"expected one {prefix} report, found {len(reports)}:\n{serial}")
    return reports[0]
