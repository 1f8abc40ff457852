"""korvane-boot installed into a staging root (cmake --install with DESTDIR) with a kernel in
its /boot and an ESP beside it, and its kernel hooks run there the way Debian's kernel and
initramfs packages run them, for the tests. The hooks find the root, /boot and the ESP in
KORVANE_ROOT, KORVANE_BOOT and KORVANE_ESP."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

HOOKS = {
    "postinst": "etc/kernel/postinst.d/zz-korvane-uki",
    "postrm": "etc/kernel/postrm.d/zz-korvane-uki",
    "initramfs": "etc/initramfs/post-update.d/korvane-uki",
}
OS_RELEASE = 'ID=debian\nPRETTY_NAME="korvane test system"\n'


def build_dir() -> Path:
    """The CMake build directory: KORVANE_BUILD_DIR, else build/ in the repository."""
    env = os.environ.get("KORVANE_BUILD_DIR")
    return Path(env).resolve() if env else Path(__file__).resolve().parents[2] / "build"


def run(args: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


class StagedSystem:
    """root/ with korvane-boot installed, /etc/os-release, /etc/kernel/cmdline and the hook's
    configuration; boot/ with vmlinuz-VERSION and initrd.img-VERSION; esp/ with an EFI folder."""

    def __init__(self, folder: Path, *, version: str, kernel: bytes, initrd: bytes, cmdline: str | None,
                 config: str = ""):
        self.root, self.boot, self.esp, self.version = folder / "root", folder / "boot", folder / "esp", version
        proc = run(["cmake", "--install", build_dir()], env=dict(os.environ, DESTDIR=str(self.root)))
        if proc.returncode != 0:
            raise AssertionError(f"cmake --install failed ({proc.returncode}): {proc.stderr}")
        (self.root / "etc/os-release").write_text(OS_RELEASE)
        if cmdline is not None:
            (self.root / "etc/kernel/cmdline").write_text(cmdline + "\n")
        (self.root / "etc/korvane/uki.conf").write_text(config)
        self.boot.mkdir()
        (self.boot / f"vmlinuz-{version}").write_bytes(kernel)
        (self.boot / f"initrd.img-{version}").write_bytes(initrd)
        (self.esp / "EFI").mkdir(parents=True)

    @property
    def image(self) -> Path:
        """Where the hook puts the image of the staged kernel."""
        return self.esp / "EFI" / "Linux" / f"debian-{self.version}.efi"

    def hook(self, name: str, maintainer_params: str | None = None, esp: bool = True,
             shell_prefix: str = "") -> subprocess.CompletedProcess:
        """Runs one of the installed hooks for the staged kernel, as a package would (name
        is a key of HOOKS; maintainer_params becomes DEB_MAINT_PARAMS). shell_prefix runs
        before it in the same shell (ulimit, say)."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DEB_MAINT_PARAMS", "KORVANE_ESP", "INITRAMFS_TOOLS_KERNEL_HOOK")}
        env.update(KORVANE_ROOT=str(self.root), KORVANE_BOOT=str(self.boot))
        if esp:
            env["KORVANE_ESP"] = str(self.esp)
        if maintainer_params is not None:
            env["DEB_MAINT_PARAMS"] = maintainer_params
        script = f'{shell_prefix}\nexec "$0" "$@"'
        return run(["sh", "-c", script, self.root / HOOKS[name], self.version, self.boot / f"vmlinuz-{self.version}"],
                   env=env)
