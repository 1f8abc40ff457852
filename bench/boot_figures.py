"""The boot path, counted in instructions: QEMU's -icount makes the guest's time stamp counter
advance with every instruction executed (one per nanosecond, shift=0) and jump over idle time
(sleep=off), so that the same boot counts the same from run to run. The launcher reads the
counter right before StartImage of the image, the payload (a stand-in kernel) reads it at its
entry; the difference is what the image in front of the payload costs, firmware services
included.

The same unified kernel image is built twice: once in front of the stub, once in front of the
floor (bench/floor/), which does only what such a boot needs the firmware for. Both boot on
the same ESP: a 64 MiB .initrd, a .ucode, .cmdline and .osrel; two credentials, a 32 MiB
system extension image, a command-line add-on and an initrd add-on in the image's .extra.d.
Each configuration runs without a TPM, with swtpm's sha256 bank, and with three banks."""

from __future__ import annotations

import statistics
import subprocess
import tempfile
from pathlib import Path

from common import vm_lock, write_random  # first: it puts the VM test helpers on the path

import images
import reports
import vmrun

ICOUNT = ("-icount", "shift=0,align=off,sleep=off")
PAYLOAD_EXIT_VALUE = 0x42
IMAGE_PATH = "EFI/Linux/uki.efi"
EXTRA_DIR = IMAGE_PATH + ".extra.d"
CONFIGURATIONS = (
    ("no TPM", ()),
    ("TPM, sha256", ("sha256",)),
    ("TPM, sha1+sha256+sha384", ("sha1", "sha256", "sha384")),
)
CMDLINE = "console=ttyS0 quiet bench.builtin=1"
ADDON_CMDLINE = "bench.addon=1"
OS_RELEASE = 'ID=bench\nNAME="korvane bench"\nVERSION_ID=1\n'
SIZES = {"initrd": 64 << 20, "ucode": 256 << 10, "sysext": 32 << 20, "credential": 4 << 10, "addon-initrd": 1 << 20}


def _tool(*args: str) -> None:
    proc = subprocess.run(list(args), capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise RuntimeError(f"{args[0]} {args[1]} failed ({proc.returncode}): {proc.stderr}")


class Inputs:
    """The two images and the files beside them, built once for every run."""

    def __init__(self, build_dir: Path, work: Path):
        uki = str(build_dir / "tools" / "korvane-uki")
        payload = build_dir / "korvane-bench-payload-x64.efi"
        initrd = write_random(work / "initrd", SIZES["initrd"], 2)
        ucode = write_random(work / "ucode", SIZES["ucode"], 3)
        osrel = work / "os-release"
        osrel.write_text(OS_RELEASE)
        sections = ["--linux", str(payload), "--initrd", str(initrd), "--ucode", str(ucode), "--cmdline", CMDLINE,
                    "--os-release", str(osrel)]
        self.images = {}
        for kind, stub in (("stub", build_dir / "korvane-stub-x64.efi"),
                           ("floor", build_dir / "korvane-bench-floor-x64.efi")):
            self.images[kind] = work / f"{kind}.efi"
            _tool(uki, "build", "--stub", str(stub), *sections, "--output", str(self.images[kind]))
        addon_initrd = write_random(work / "addon-initrd", SIZES["addon-initrd"], 4)
        self.extra = {
            "a.cred": write_random(work / "a.cred", SIZES["credential"], 5),
            "b.cred": write_random(work / "b.cred", SIZES["credential"], 6),
            "ext.raw": write_random(work / "ext.raw", SIZES["sysext"], 7),
            "cmdline.addon.efi": work / "cmdline.addon.efi",
            "initrd.addon.efi": work / "initrd.addon.efi",
        }
        _tool(uki, "addon", "--cmdline", ADDON_CMDLINE, "--output", str(self.extra["cmdline.addon.efi"]))
        _tool(uki, "addon", "--initrd", str(addon_initrd), "--output", str(self.extra["initrd.addon.efi"]))


def boot_once(inputs: Inputs, kind: str, banks: tuple[str, ...], timeout: float, sidecars: bool = True) -> dict:
    machine = vmrun.Machine(tpm=bool(banks), pcr_banks=banks or vmrun.DEFAULT_PCR_BANKS, esp_size_mib=256,
                            extra_args=ICOUNT, name="bench")
    with machine as vm:
        vm.boot_efi(images.launcher())
        vm.add_esp_file(IMAGE_PATH, inputs.images[kind])
        for name, path in inputs.extra.items() if sidecars else ():
            vm.add_esp_file(f"{EXTRA_DIR}/{name}", path)
        vm.add_esp_file(images.LAUNCHER_LIST, "timestamp\n" + images.launcher_image_line(IMAGE_PATH))
        with vm_lock():
            result = vm.run(timeout=timeout)
    if result.debug_exit != PAYLOAD_EXIT_VALUE:
        tail = "\n".join(result.lines()[-20:])
        raise RuntimeError(f"{kind} boot did not reach the payload (exit {result.returncode}):\n{tail}")
    report = reports.only_report(result.text(), "BENCH")
    if not report.flag("start-time"):
        raise RuntimeError("the payload found no start time")
    return {"instructions": report.number("cycles"), "initrd_bytes": report.number("initrd-size"),
            "load_options": report.text("load-options"), "wall_seconds": result.duration}


def compare(inputs: Inputs, name: str, banks: tuple[str, ...], runs: int, timeout: float,
            sidecars: bool = True) -> dict:
    """Stub and floor, interleaved, `runs` boots each."""
    boots: dict[str, list[dict]] = {"stub": [], "floor": []}
    for _ in range(runs):
        for kind in boots:
            boots[kind].append(boot_once(inputs, kind, banks, timeout, sidecars))
    medians = {kind: statistics.median(b["instructions"] for b in boots[kind]) for kind in boots}
    return {
        "name": name,
        "banks": list(banks),
        "boots": boots,
        "stub_instructions": medians["stub"],
        "floor_instructions": medians["floor"],
        "ratio": medians["stub"] / medians["floor"],
        "extra_instructions": medians["stub"] - medians["floor"],
        "spread": {kind: max(b["instructions"] for b in boots[kind]) - min(b["instructions"] for b in boots[kind])
                   for kind in boots},
    }


def run(build_dir: Path, runs: int, timeout: float = 3600) -> dict:
    with tempfile.TemporaryDirectory(prefix="korvane-bench-boot-", dir=build_dir) as tmp:
        inputs = Inputs(build_dir, Path(tmp))
        configurations = [compare(inputs, name, banks, runs, timeout) for name, banks in CONFIGURATIONS]
        # The same images with an empty .extra.d: what the stub costs before any file beside it.
        bare = compare(inputs, "no TPM, nothing beside the image", (), runs, timeout, sidecars=False)
    return {"runs": runs, "sizes": SIZES, "cmdline": CMDLINE, "addon_cmdline": ADDON_CMDLINE,
            "configurations": configurations, "bare": bare, "goal_ratio": 1.05}
