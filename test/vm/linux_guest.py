"""A real Linux guest for the VM tests and the demo: Debian's kernel, fetched once into a cache
outside the repository, and a small busybox initrd built here as a cpio newc archive.

The kernel comes from the Debian package that linux-image-amd64 depends on, fetched with
apt-get download into KORVANE_CACHE_DIR (default ~/.cache/korvane), where its vmlinuz is
unpacked; the .deb stays there for later use (its modules) until a newer kernel replaces it.
busybox is the host's static one (Debian's busybox-static).
"""

from __future__ import annotations

import fcntl
import os
import re
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

BUSYBOX = Path("/bin/busybox")
KERNEL_META_PACKAGE = "linux-image-amd64"


def cache_dir() -> Path:
    env = os.environ.get("KORVANE_CACHE_DIR")
    if env:
        return Path(env)
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "korvane"


def _run(args: list[str], **kwargs) -> str:
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    proc = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({proc.returncode}): {proc.stderr.strip()}")
    return proc.stdout


def _root_prefix() -> list[str]:
    return [] if os.geteuid() == 0 else ["sudo"]


def kernel_package() -> str:
    """The versioned kernel package the meta package names, e.g. linux-image-6.1.0-57-amd64.
    Reads the package lists once more after apt-get update when they do not know it."""
    for attempt in range(2):
        proc = subprocess.run(["apt-cache", "depends", KERNEL_META_PACKAGE], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)
        for line in proc.stdout.splitlines():
            words = line.split()
            if len(words) == 2 and words[0] == "Depends:" and words[1].startswith("linux-image-"):
                return words[1]
        if attempt == 0:
            _run(_root_prefix() + ["apt-get", "update"])
    raise RuntimeError(f"apt-cache names no kernel package for {KERNEL_META_PACKAGE}")


def debian_kernel() -> Path:
    """The vmlinuz of Debian's current kernel package, downloaded and unpacked on first use."""
    package = kernel_package()
    folder = cache_dir() / "debian-kernel"
    kernel = folder / package / "vmlinuz"
    if kernel.is_file():
        return kernel
    folder.mkdir(parents=True, exist_ok=True)
    # Tests run in parallel; one of them fetches, the others wait for it.
    with open(folder / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not kernel.is_file():
            _fetch(package, folder, kernel)
    return kernel


def _fetch(package: str, folder: Path, kernel: Path) -> None:
    debs = sorted(folder.glob(f"{package}_*.deb"))
    if not debs:
        _run(["apt-get", "download", package], cwd=folder)
        debs = sorted(folder.glob(f"{package}_*.deb"))
    if not debs:
        raise RuntimeError(f"apt-get download {package} left no .deb in {folder}")
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        _unpack_kernel(debs[-1], Path(tmp))
        found = sorted(Path(tmp, "boot").glob("vmlinuz-*"))
        if len(found) != 1:
            raise RuntimeError(f"{debs[-1]} holds {len(found)} vmlinuz files")
        kernel.parent.mkdir(exist_ok=True)
        staged = kernel.with_suffix(".part")
        shutil.copyfile(found[0], staged)
        staged.rename(kernel)
    # Only the current kernel is kept: each package takes 70 MB or more.
    for old in folder.glob("linux-image-*"):
        if old != kernel.parent and old != debs[-1]:
            shutil.rmtree(old) if old.is_dir() else old.unlink()


def kernel_module(name: str) -> bytes:
    """A module of the cached kernel package, by its path below kernel/ in the module tree
    (e.g. "fs/efivarfs/efivarfs.ko"), read straight from the .deb."""
    package = kernel_package()
    debian_kernel()  # fetches the package when the cache lacks it
    debs = sorted((cache_dir() / "debian-kernel").glob(f"{package}_*.deb"))
    if not debs:
        raise RuntimeError(f"no .deb of {package} in the cache")
    tarball = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(debs[-1])], stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
    try:
        proc = subprocess.run(["tar", "-xO", "--wildcards", f"./lib/modules/*/kernel/{name}"],
                              stdin=tarball.stdout, capture_output=True)
    finally:
        tarball.stdout.close()
        tarball.wait()
    if proc.returncode != 0 or not proc.stdout:
        raise RuntimeError(f"{debs[-1]} has no module {name}: {proc.stderr.decode(errors='replace').strip()}")
    return proc.stdout


def _unpack_kernel(deb: Path, dest: Path) -> None:
    """Unpacks only /boot/vmlinuz-* of the package (its modules take some 400 MB)."""
    tarball = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
    try:
        _run(["tar", "-x", "-C", str(dest), "--wildcards", "./boot/vmlinuz-*"], stdin=tarball.stdout)
    finally:
        tarball.stdout.close()
        if tarball.wait() != 0:
            raise RuntimeError(f"dpkg-deb --fsys-tarfile {deb} failed ({tarball.returncode})")


def newc_archive(entries: list[tuple[str, int, bytes, tuple[int, int]]]) -> bytes:
    """A cpio archive in the "new ASCII" (newc) format: (name, mode, data, (rdev major, minor))
    per member, then the trailer. Every header and every member's data start at a multiple of 4."""
    out = bytearray()
    for ino, (name, mode, data, (rmajor, rminor)) in enumerate(entries + [("TRAILER!!!", 0, b"", (0, 0))], 1):
        encoded = name.encode() + b"\0"
        nlink = 2 if stat.S_ISDIR(mode) else 1
        fields = (ino, mode, 0, 0, nlink, 0, len(data), 0, 0, rmajor, rminor, len(encoded), 0)
        out += b"070701" + b"".join(b"%08x" % f for f in fields) + encoded
        out += bytes(-len(out) % 4) + data
        out += bytes(-len(out) % 4)
    return bytes(out)


def busybox_initrd(init_script: str, files: tuple[tuple[str, bytes], ...] = ()) -> bytes:
    """An initrd whose /init is the given busybox shell script, with /bin/busybox, /proc, /sys
    and /dev/console (without which the kernel starts init with no console), and the given
    (path, contents) files at the top level."""
    directory = stat.S_IFDIR | 0o755
    return newc_archive([(name, stat.S_IFREG | 0o644, data, (0, 0)) for name, data in files] + [
        ("bin", directory, b"", (0, 0)),
        ("bin/busybox", stat.S_IFREG | 0o755, BUSYBOX.read_bytes(), (0, 0)),
        ("dev", directory, b"", (0, 0)),
        ("dev/console", stat.S_IFCHR | 0o600, b"", (5, 1)),
        ("proc", directory, b"", (0, 0)),
        ("sys", directory, b"", (0, 0)),
        ("init", stat.S_IFREG | 0o755, init_script.encode(), (0, 0)),
    ])


# A guest reports through the serial console, which the kernel shares: a kernel line can land
# inside a report line. So the init first keeps the kernel off the console, and frames every
# report with its value's length in bytes and an end mark, so that a damaged line is detected
# instead of read as a wrong value.
REPORT_MARK = "korvane-report"
REPORT_END = "korvane-end"
_REPORT_LINE = re.compile(rf"{REPORT_MARK} (\S+) (\d+) (.*) {REPORT_END}$")


class DamagedReport(Exception):
    """A report line of the guest that lost its framing on the serial console."""


def init_script(body: str) -> str:
    """A busybox /init: mounts /proc, keeps the kernel's messages off the console, defines the
    shell function `report KEY VALUE`, runs body and powers the machine off (QEMU then ends
    with 0). Busybox applets are installed in /bin and on the PATH."""
    return f"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
dmesg -n 1
report() {{ echo "{REPORT_MARK} $1 $(printf %s "$2" | wc -c) $2 {REPORT_END}"; }}
{body}
poweroff -f
"""


def reports(serial_text: str) -> dict[str, list[str]]:
    """Every value the guest reported, by key, in the order reported. Raises DamagedReport for
    a line that carries the report mark but not an intact frame."""
    found: dict[str, list[str]] = {}
    for line in serial_text.split("\n"):
        line = line.rstrip("\r")
        if REPORT_MARK not in line:
            continue
        match = _REPORT_LINE.search(line)
        if not match or int(match.group(2)) != len(match.group(3).encode()):
            raise DamagedReport(f"damaged report line on the serial console: {line!r}")
        found.setdefault(match.group(1), []).append(match.group(3))
    return found


# Reports the command line it was given.
CMDLINE_INIT = init_script('report cmdline "$(cat /proc/cmdline)"')


def cmdline_initrd() -> bytes:
    return busybox_initrd(CMDLINE_INIT)


def reported_cmdlines(serial_text: str) -> list[str]:
    """What the init of cmdline_initrd reported as /proc/cmdline, once per report."""
    return reports(serial_text).get("cmdline", [])
