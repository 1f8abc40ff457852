#!/usr/bin/env python3
"""Measured boot end to end with signed PCR policies, on OVMF with a software TPM whose SHA-1,
SHA-256, SHA-384 and SHA-512 banks are active (OVMF extends all four).

- An image of three profiles, the third with its own kernel, signed with an RSA key, is booted
  once per profile: PCR 11 in every bank equals `korvane-uki measure` and the test's own replay
  of the image's sections, and the probe finds .pcrsig and .pcrpkey byte for byte as the files
  /.extra/tpm2-pcr-signature.json and /.extra/tpm2-pcr-public-key.pem. An image signed with a
  P-256 key is booted once.
- The policies work on a real TPM: on a fresh swtpm (a TCP server on the loopback interface,
  driven with tpm2-tools), a secret sealed under TPM2_PolicyAuthorize with the name of the
  image's .pcrpkey unseals once PCR 11 holds what a boot of the image left there (the boot's
  event log replayed), through TPM2_PolicyPCR, TPM2_VerifySignature of the .pcrsig entry for
  that value and TPM2_PolicyAuthorize; not with the .pcrsig of another image signed with the
  same key, and not after one more extend of PCR 11.
"""

import base64
import hashlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import measured_boot as mb  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

BANKS = ("sha1", "sha256", "sha384", "sha512")
SECRET = b"disk key 0123456789"
PROFILES = (0, 1, 2)


def uki_tool(*args) -> str:
    proc = subprocess.run([str(vmrun.build_file("tools/korvane-uki")), *map(str, args)], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"korvane-uki {args[0]} failed: {proc.stderr}")
    return proc.stdout


def free_port_pair() -> int:
    """A free port whose successor is free too: the swtpm TCTI finds the control port there."""
    for _ in range(100):
        with socket.socket() as first, socket.socket() as second:
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            try:
                second.bind(("127.0.0.1", port + 1))
            except OSError:
                continue
            return port
    raise vmrun.VmError("no two free neighbouring ports on the loopback interface")


class SoftTpm:
    """A fresh swtpm as a TCP server on the loopback interface, and tpm2-tools to drive it.
    swtpm has no resource manager, so transient objects are flushed after every command."""

    def __init__(self, workdir: Path):
        self.dir = workdir
        state = workdir / "state"
        state.mkdir()
        vmrun._run_tool(["swtpm_setup", "--tpm2", "--tpmstate", str(state), "--pcr-banks", ",".join(BANKS),
                         "--overwrite"])
        for _ in range(5):  # another process may take a port between its choice and swtpm's bind
            server = free_port_pair()
            control = server + 1
            self.process = subprocess.Popen(
                ["swtpm", "socket", "--tpm2", "--tpmstate", f"dir={state}",
                 "--server", f"type=tcp,port={server},bindaddr=127.0.0.1",
                 "--ctrl", f"type=tcp,port={control},bindaddr=127.0.0.1", "--flags", "not-need-init,startup-clear"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._wait_for(server):
                self.env = dict(os.environ, TPM2TOOLS_TCTI=f"swtpm:host=127.0.0.1,port={server}")
                return
        raise vmrun.VmError("swtpm did not start")

    def _wait_for(self, port: int) -> bool:
        deadline = time.monotonic() + 60  # a busy machine may be slow to start it
        while self.process.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        vmrun._kill(self.process)
        return False

    def close(self):
        vmrun._kill(self.process)

    def run(self, tool: str, *args, check: bool = True) -> subprocess.CompletedProcess:
        proc = subprocess.run([f"tpm2_{tool}", *map(str, args)], cwd=self.dir, env=self.env, capture_output=True,
                              stdin=subprocess.DEVNULL)
        subprocess.run(["tpm2_flushcontext", "-t"], cwd=self.dir, env=self.env, capture_output=True,
                       stdin=subprocess.DEVNULL)
        if check and proc.returncode != 0:
            raise AssertionError(f"tpm2_{tool} failed: {proc.stderr.decode(errors='replace')}")
        return proc

    def file(self, name: str, data: bytes) -> Path:
        (self.dir / name).write_bytes(data)
        return self.dir / name

    def seal(self, public_key: Path, algorithm: str) -> None:
        """Seals SECRET under TPM2_PolicyAuthorize by the key (loaded as an external key)."""
        self.run("loadexternal", "-C", "o", "-G", algorithm, "-u", public_key, "-c", "key.ctx", "-n", "key.name")
        self.run("startauthsession", "-S", "trial.ctx")
        self.run("policyauthorize", "-S", "trial.ctx", "-L", "authorize.policy", "-n", "key.name")
        self.run("flushcontext", "trial.ctx")
        self.run("createprimary", "-C", "o", "-c", "primary.ctx")
        self.run("create", "-C", "primary.ctx", "-L", "authorize.policy", "-i", self.file("secret", SECRET),
                 "-u", "sealed.pub", "-r", "sealed.priv", "-a", "fixedtpm|fixedparent")

    def extend_pcr11(self, digests: dict[str, bytes]) -> None:
        self.run("pcrextend", "11:" + ",".join(f"{bank}={d.hex()}" for bank, d in digests.items()))

    def pcr11(self, bank: str) -> bytes:
        self.run("pcrread", f"{bank}:11", "-o", "pcr.bin")
        return (self.dir / "pcr.bin").read_bytes()

    def unseal(self, entry: dict, bank: str, scheme: str) -> bytes | None:
        """PolicyPCR on PCR 11 of the bank, VerifySignature of the entry's sig over its pol,
        PolicyAuthorize and Unseal; the secret, or None when the TPM refused a step."""
        self.file("pol.bin", bytes.fromhex(entry["pol"]))
        self.file("sig.bin", base64.b64decode(entry["sig"]))
        self.run("createprimary", "-C", "o", "-c", "primary.ctx")
        self.run("load", "-C", "primary.ctx", "-u", "sealed.pub", "-r", "sealed.priv", "-c", "sealed.ctx")
        self.run("startauthsession", "--policy-session", "-S", "session.ctx")
        try:
            steps = [("policypcr", "-S", "session.ctx", "-l", f"{bank}:11"),
                     ("verifysignature", "-c", "key.ctx", "-g", "sha256", "-m", "pol.bin", "-s", "sig.bin",
                      "-f", scheme, "-t", "ticket.bin"),
                     ("policyauthorize", "-S", "session.ctx", "-i", "pol.bin", "-n", "key.name", "-t", "ticket.bin"),
                     ("unseal", "-p", "session:session.ctx", "-c", "sealed.ctx")]
            for tool, *args in steps:
                proc = self.run(tool, *args, check=False)
                if proc.returncode != 0:
                    return None
            return proc.stdout
        finally:
            self.run("flushcontext", "session.ctx", check=False)


def policy_pcr11(bank: str, value: bytes) -> bytes:
    """The digest of a SHA-256 policy session after TPM2_PolicyPCR on PCR 11 of the bank."""
    selection = (1).to_bytes(4, "big") + mb.BANKS[bank].to_bytes(2, "big") + bytes([3, 0, 1 << 3, 0])
    return hashlib.sha256(bytes(32) + (0x17F).to_bytes(4, "big") + selection + hashlib.sha256(value).digest()).digest()


class SignedPolicyBootTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="korvane-pcr-policy-")
        folder = Path(cls.tmp.name)
        cls.keys = {}
        for name, options in (("rsa", ()), ("ec", ("--ec",))):
            private, public = folder / f"{name}.key", folder / f"{name}.pub"
            uki_tool("genkey", "--pcr-private-key", private, "--pcr-public-key", public, *options)
            cls.keys[name] = (private, public)
        (folder / "initrd").write_bytes(os.urandom(40_000))
        (folder / "kernel3").write_bytes(images.probe().read_bytes() + b"own kernel of profile 2")
        bank_args = [a for bank in BANKS for a in ("--pcr-bank", bank)]

        def multi_profile(output: str, os_release: str) -> Path:
            (folder / f"{output}.osrel").write_text(os_release)
            return images.build_uki_from_args(
                folder / output, "--linux", str(images.probe()), "--os-release", str(folder / f"{output}.osrel"),
                "--cmdline", "base", "--initrd", str(folder / "initrd"),
                "--profile", "ID=one\nTITLE=One", "--profile", "ID=two", "--cmdline", "two",
                "--profile", "ID=three", "--linux", str(folder / "kernel3"),
                "--pcr-private-key", str(cls.keys["rsa"][0]), "--pcr-public-key", str(cls.keys["rsa"][1]),
                *bank_args)

        # Every profile takes the base's .osrel, so the other image's boots differ from each of these.
        cls.rsa_image = multi_profile("rsa.efi", "ID=korvane\n")
        cls.other_image = multi_profile("other.efi", "ID=other\n")
        cls.ec_image = images.build_uki_from_args(
            folder / "ec.efi", "--linux", str(images.probe()), "--cmdline", "ec",
            "--pcr-private-key", str(cls.keys["ec"][0]), "--pcr-bank", "sha256")

        cls.probes = {}
        with vmrun.Machine(tpm=True, pcr_banks=BANKS, name="pcr-policy") as vm:
            boots = [(("rsa", p), cls.rsa_image, images.utf16_load_options(f"@{p}")) for p in PROFILES]
            boots.append((("ec", None), cls.ec_image, None))
            for key, image, options in boots:
                images.install_launcher(vm, images.Launch(image, "uki.efi", options))
                result = vm.run(timeout=240)
                cls.probes[key] = reports.only_report(result.text(), "PROBE")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def predicted(self, image: Path, profile) -> dict[str, str]:
        boots = json.loads(uki_tool("measure", "--json", *[a for b in BANKS for a in ("--bank", b)], image))["boots"]
        (boot,) = [b for b in boots if b["profile"] == profile and b["dtbauto"] is None]
        return boot["pcr11"]

    def test_the_tpm_has_all_four_banks(self):
        for probe in self.probes.values():
            bits = probe.number("tpm.active-banks")
            self.assertEqual([b for b in BANKS if bits & mb.BANK_BITS[b]], list(BANKS))

    def test_pcr11_is_what_measure_predicts_in_every_bank(self):
        for (key, profile), probe in self.probes.items():
            image = (self.rsa_image if key == "rsa" else self.ec_image)
            predicted = self.predicted(image, profile)
            sections = mb.selected_sections(image.read_bytes(), profile)
            for bank in BANKS:
                with self.subTest(key=key, profile=profile, bank=bank):
                    reported = probe.bytes(f"tpm.pcr.11.{bank}")
                    own = mb.replay([e.digest(bank) for e in mb.section_events(sections)], bank)
                    self.assertEqual(reported.hex(), own.hex())
                    self.assertEqual(reported.hex(), predicted[bank])

    def test_the_kernel_finds_the_signature_and_key_as_built(self):
        for (key, profile), probe in self.probes.items():
            image = (self.rsa_image if key == "rsa" else self.ec_image).read_bytes()
            members = {probe.text(f"cpio.member.{m}.name"): m for m in range(probe.number("cpio.members"))}
            for section, name in ((".pcrsig", "tpm2-pcr-signature.json"), (".pcrpkey", "tpm2-pcr-public-key.pem")):
                with self.subTest(key=key, profile=profile, file=name):
                    data = images.pe_sections(image)[section]
                    m = members[f".extra/{name}"]
                    self.assertEqual(probe.number(f"cpio.member.{m}.size"), len(data))
                    self.assertEqual(probe.bytes(f"cpio.member.{m}.sha256"), hashlib.sha256(data).digest())
                    self.assertEqual(probe.number(f"cpio.member.{m}.mode"), 0o100444)
            self.assertEqual(images.pe_sections(image)[".pcrpkey"], self.keys[key][1].read_bytes())

    def test_the_signature_holds_the_policy_of_each_boot(self):
        for (key, profile), probe in self.probes.items():
            image = (self.rsa_image if key == "rsa" else self.ec_image).read_bytes()
            document = json.loads(images.pe_sections(image)[".pcrsig"])
            for bank in (BANKS if key == "rsa" else ("sha256",)):
                with self.subTest(key=key, profile=profile, bank=bank):
                    policy = policy_pcr11(bank, probe.bytes(f"tpm.pcr.11.{bank}")).hex()
                    self.assertEqual(len([e for e in document[bank] if e["pol"] == policy]), 1)

    def unseal_after_boot(self, key: str, profile, bank: str) -> None:
        probe = self.probes[(key, profile)]
        image = self.rsa_image if key == "rsa" else self.ec_image
        entries = json.loads(images.pe_sections(image.read_bytes())[".pcrsig"])[bank]
        # The other image's entry for the same profile: signed by the RSA key, for its own value.
        other_image = self.other_image.read_bytes()
        other_value = mb.replay([e.digest(bank) for e in mb.section_events(mb.selected_sections(other_image, profile))],
                                bank)
        (other,) = [e for e in json.loads(images.pe_sections(other_image)[".pcrsig"])[bank]
                    if e["pol"] == policy_pcr11(bank, other_value).hex()]
        scheme, algorithm = ("rsassa", "rsa") if key == "rsa" else ("ecdsa", "ecc")
        with tempfile.TemporaryDirectory(prefix="korvane-swtpm-") as tmp:
            tpm = SoftTpm(Path(tmp))
            try:
                tpm.seal(self.keys[key][1], algorithm)
                for event in mb.parse_event_log(probe.bytes("tpm.log")):
                    if event.pcr == mb.PCR_SECTIONS:
                        tpm.extend_pcr11(event.digests)
                value = tpm.pcr11(bank)
                self.assertEqual(value, probe.bytes(f"tpm.pcr.11.{bank}"))
                (entry,) = [e for e in entries if e["pol"] == policy_pcr11(bank, value).hex()]
                self.assertEqual(tpm.unseal(entry, bank, scheme), SECRET)
                self.assertIsNone(tpm.unseal(other, bank, scheme))
                tpm.extend_pcr11({b: hashlib.new(b, b"one more").digest() for b in BANKS})
                self.assertIsNone(tpm.unseal(entry, bank, scheme))
            finally:
                tpm.close()

    def test_a_secret_sealed_to_the_rsa_key_unseals_after_each_profile_s_boot(self):
        for profile, bank in ((0, "sha256"), (1, "sha1"), (2, "sha384")):
            with self.subTest(profile=profile, bank=bank):
                self.unseal_after_boot("rsa", profile, bank)

    def test_a_secret_sealed_to_the_ec_key_unseals_after_its_boot(self):
        self.unseal_after_boot("ec", None, "sha256")


if __name__ == "__main__":
    unittest.main(verbosity=2)
