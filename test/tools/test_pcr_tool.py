#!/usr/bin/env python3
"""korvane-uki measure, inspect, genkey and build --pcr-private-key, run as programs. Expected
PCR values come from the tests' own reading of the image file (test/vm/measured_boot.py: the
stub's selection of sections, name-with-NUL then contents, replayed as TPM extends); policy
digests from the TPM 2.0 structure of TPM2_PolicyPCR written out here; signatures are checked
with the openssl command."""

import base64
import hashlib
import json
import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "vm"))
import measured_boot as mb  # noqa: E402

UKI = os.environ["KORVANE_UKI"]
STUB = os.environ["KORVANE_STUB"]
BANKS = {"sha1": 0x0004, "sha256": 0x000B, "sha384": 0x000C, "sha512": 0x000D}
TPM_CC_POLICY_PCR = 0x17F


def run(*args, check=True) -> subprocess.CompletedProcess:
    proc = subprocess.run([UKI, *map(str, args)], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if check and proc.returncode != 0:
        raise AssertionError(f"korvane-uki {' '.join(map(str, args))} failed: {proc.stderr}")
    return proc


def openssl(*args, data: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(["openssl", *map(str, args)], input=data, capture_output=True)


def policy_pcr11(bank: str, value: bytes) -> bytes:
    """TPM2_PolicyPCR in a SHA-256 session that starts from zeros: the session digest becomes
    SHA-256(old || TPM_CC_PolicyPCR || TPML_PCR_SELECTION || SHA-256(PCR values))."""
    selection = struct.pack(">IHB3s", 1, BANKS[bank], 3, bytes([0, 1 << 3, 0]))  # PCR 11: byte 1, bit 3
    return hashlib.sha256(bytes(32) + struct.pack(">I", TPM_CC_POLICY_PCR) + selection
                          + hashlib.sha256(value).digest()).digest()


def pcr11(image: bytes, profile, bank: str, phases=()) -> bytes:
    events = [e.digest(bank) for e in mb.section_events(mb.selected_sections(image, profile))]
    events += [hashlib.new(bank, p.encode()).digest() for p in phases]
    return mb.replay(events, bank)


def section(image: bytes, name: str) -> bytes:
    return next(data for n, data in mb.pe_section_table(image) if n == name)


def devicetree(compatible: str) -> bytes:
    """A flattened devicetree whose root holds only "compatible"."""
    strings = b"compatible\0"
    value = compatible.encode() + b"\0"
    value += bytes(-len(value) % 4)
    structure = (struct.pack(">I", 1) + b"\0\0\0\0" + struct.pack(">III", 3, len(compatible) + 1, 0) + value
                 + struct.pack(">II", 2, 9))
    header_size, reserve = 40, 16
    total = header_size + reserve + len(structure) + len(strings)
    header = struct.pack(">10I", 0xD00DFEED, total, header_size + reserve, header_size + reserve + len(structure),
                         header_size, 17, 16, 0, len(strings), len(structure))
    return header + bytes(reserve) + structure + strings


class Scratch(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="korvane-pcr-")
        self.addCleanup(tmp.cleanup)
        self.dir = Path(tmp.name)

    def file(self, name: str, data: bytes | str | None = None) -> Path:
        path = self.dir / name
        if data is not None:
            path.write_bytes(data.encode() if isinstance(data, str) else data)
        return path

    def keys(self, name: str, *options: str) -> tuple[Path, Path]:
        private, public = self.file(f"{name}.key"), self.file(f"{name}.pub")
        run("genkey", "--pcr-private-key", private, "--pcr-public-key", public, *options)
        return private, public


class SignedPolicyTest(Scratch):
    """An image of three profiles, one with its own kernel, signed for two banks and two
    phase paths: every boot's PCR 11, in each bank and after each path, has exactly one
    entry whose policy and signature are right."""

    PHASE_PATHS = ((), ("enter-initrd",), ("enter-initrd", "leave-initrd"))

    def build(self, key: Path, *extra: str) -> bytes:
        out = self.file("uki.efi")
        run("build", "--stub", STUB, "--linux", STUB, "--initrd", self.file("initrd", os.urandom(70_001)),
            "--cmdline", "base", "--os-release", self.file("osrel", "ID=test\n"),
            "--profile", "ID=one", "--profile", "ID=two", "--cmdline", "two",
            "--profile", "ID=three", "--linux", self.file("kernel3", Path(STUB).read_bytes() + b"three"),
            "--pcr-private-key", key, *extra, "-o", out)
        return out.read_bytes()

    def check_image(self, image: bytes, public: Path, banks: list[str]):
        document = json.loads(section(image, ".pcrsig"))
        self.assertEqual(sorted(document), sorted(banks))
        der = openssl("pkey", "-pubin", "-in", public, "-outform", "DER").stdout
        self.assertEqual(section(image, ".pcrpkey"), public.read_bytes())
        boots = [None, 0, 1, 2]  # the base carries a kernel, so "@4294967295" boots too
        for bank in banks:
            entries = document[bank]
            self.assertEqual(len(entries), len(boots) * len(self.PHASE_PATHS))
            by_policy = {bytes.fromhex(e["pol"]): e for e in entries}
            for profile in boots:
                for path in self.PHASE_PATHS:
                    policy = policy_pcr11(bank, pcr11(image, profile, bank, path))
                    entry = by_policy.get(policy)
                    self.assertIsNotNone(entry, f"no entry for {bank} profile {profile} after {path}")
                    self.assertEqual(set(entry), {"pcrs", "pkfp", "pol", "sig"})
                    self.assertEqual(entry["pcrs"], [11])
                    self.assertEqual(entry["pkfp"], hashlib.sha256(der).hexdigest())
                    self.file("pol", policy)
                    self.file("sig", base64.b64decode(entry["sig"]))
                    verify = openssl("dgst", "-sha256", "-verify", public, "-signature", self.file("sig"),
                                     self.file("pol"))
                    self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def test_rsa_and_ec_keys(self):
        for options in ((), ("--bits", "3072"), ("--ec",)):
            with self.subTest(key=options):
                key, public = self.keys("k" + "".join(options), *options)
                image = self.build(key, "--pcr-public-key", public, "--pcr-bank", "sha256", "--pcr-bank", "sha384",
                                   "--phases", "", "--phases", "enter-initrd", "--phases", "enter-initrd:leave-initrd")
                self.check_image(image, public, ["sha256", "sha384"])

    def test_the_signature_is_the_last_data_and_sbsign_takes_the_image(self):
        key, public = self.keys("k")
        image = self.build(key)
        table = []
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
        for i in range(count):
            name, vsize, _, raw_size, raw = struct.unpack_from("<8sIIII", image, pe + 24 + optional_size + 40 * i)
            table.append((name.rstrip(b"\0").decode(), raw, raw_size))
        names = [name for name, _, _ in table]
        # In the base, before the first profile, so every profile's boot finds them.
        self.assertLess(names.index(".pcrsig"), names.index(".profile"))
        self.assertEqual(names.index(".pcrpkey") + 1, names.index(".pcrsig"))
        pcrsig = table[names.index(".pcrsig")]
        self.assertEqual(pcrsig[1] + pcrsig[2], len(image))
        self.assertEqual(max(raw for _, raw, _ in table), pcrsig[1])
        self.assertEqual(json.loads(section(image, ".pcrsig"))["sha256"][0]["pcrs"], [11])
        signed = subprocess.run(["sbsign", "--key", key, "--cert", self.make_certificate(key), "--output",
                                 self.file("signed.efi"), self.file("uki.efi")], capture_output=True)
        self.assertEqual(signed.returncode, 0, signed.stderr)

    def make_certificate(self, key: Path) -> Path:
        cert = self.file("cert.pem")
        made = openssl("req", "-new", "-x509", "-key", key, "-subj", "/CN=test", "-days", "1", "-out", cert)
        self.assertEqual(made.returncode, 0, made.stderr)
        return cert


class MeasureTest(Scratch):
    def image_args(self) -> list:
        a, b = self.file("a.dtb", devicetree("acme,board-a")), self.file("b.dtb", devicetree("acme,board-b"))
        return ["--linux", STUB, "--cmdline", "base", "--dtbauto", a, "--profile", "ID=one",
                "--profile", "ID=two", "--dtbauto", b, "--cmdline", "two"]

    def test_values_follow_the_stub_for_every_boot_and_dtbauto_choice(self):
        out = self.file("uki.efi")
        run("build", "--stub", STUB, *self.image_args(), "-o", out)
        image = out.read_bytes()
        table = [name for name, _ in mb.pe_section_table(image)]
        dtb_a = table.index(".dtbauto")
        dtb_b = table.index(".dtbauto", dtb_a + 1)
        phases = ["enter-initrd", "sysinit"]
        from_image = json.loads(run("measure", "--json", "--bank", "sha1", "--bank", "sha512",
                                    *[a for p in phases for a in ("--phase", p)], out).stdout)
        from_options = json.loads(run("measure", "--json", "--bank", "sha1", "--bank", "sha512",
                                      *[a for p in phases for a in ("--phase", p)], "--stub", STUB,
                                      *self.image_args()).stdout)
        self.assertEqual(from_image, from_options)
        self.assertEqual(from_image["phases"], phases)
        # Each group's blobs, and a machine that none fits; profile two prefers its own but
        # falls back to the base's when its own does not fit.
        expected = {(None, None): None, (None, dtb_a): "a", (0, None): None, (0, dtb_a): "a",
                    (1, None): None, (1, dtb_a): "a", (1, dtb_b): "b"}
        got = {(b["profile"], b["dtbauto"] and b["dtbauto"]["section"]): b for b in from_image["boots"]}
        self.assertEqual(set(got), set(expected))
        for (profile, dtb), blob in expected.items():
            sections = self.selection(image, profile, dtb)
            for bank in ("sha1", "sha512"):
                events = [e.digest(bank) for e in mb.section_events(sections)]
                events += [hashlib.new(bank, p.encode()).digest() for p in phases]
                self.assertEqual(got[(profile, dtb)]["pcr11"][bank], mb.replay(events, bank).hex(), (profile, dtb))
            if blob:
                self.assertEqual(got[(profile, dtb)]["dtbauto"]["compatible"], f"acme,board-{blob}")

    @staticmethod
    def selection(image: bytes, profile, dtbauto_index) -> dict:
        """The test's selection with one .dtbauto chosen by table index (or none)."""
        table = mb.pe_section_table(image)
        sections = mb.selected_sections(image, profile)
        sections.pop(".dtbauto", None)
        if dtbauto_index is not None:
            sections[".dtbauto"] = table[dtbauto_index][1]
        return sections

    def test_text_output_and_default_bank(self):
        out = self.file("uki.efi")
        run("build", "--stub", STUB, "--linux", STUB, "--cmdline", "x", "-o", out)
        expected = f"base: sha256 {pcr11(out.read_bytes(), None, 'sha256').hex()}\n"
        self.assertEqual(run("measure", out).stdout, expected)
        # Without --stub, our stub found beside the tool, as build takes it.
        self.assertEqual(run("measure", "--linux", STUB, "--cmdline", "x").stdout, expected)


class InspectTest(Scratch):
    def test_json_describes_groups_texts_and_boots(self):
        out = self.file("uki.efi")
        sbat = "inspect.test,1,Test,inspect,1,https://example.invalid\n"
        run("build", "--stub", STUB, "--linux", STUB, "--cmdline", "quiet", "--uname", "6.1.0",
            "--sbat", self.file("sbat", sbat), "--profile", 'ID=rescue\nTITLE="Rescue me"', "--cmdline",
            "@" + str(self.file("cmdline", b"rescue\0ignored")), "-o", out)
        image = out.read_bytes()
        doc = json.loads(run("inspect", "--json", out).stdout)
        self.assertEqual(doc["kind"], "uki")
        self.assertEqual((doc["machine"], doc["subsystem"], doc["signed"]), (0x8664, 10, False))
        self.assertEqual(doc["file_size"], len(image))
        base, profile = doc["groups"]
        self.assertIsNone(base["profile"])
        self.assertEqual((profile["profile"], profile["id"], profile["title"]), (0, "rescue", "Rescue me"))
        table = mb.pe_section_table(image)
        listed = base["sections"] + profile["sections"]
        self.assertEqual([s["name"] for s in listed], [name for name, _ in table])
        for s, (_, data) in zip(listed, table):
            self.assertEqual((s["size"], s["sha256"]), (len(data), hashlib.sha256(data).hexdigest()))
        texts = {s["name"] + str(s["index"]): s.get("text") for s in listed if "text" in s}
        self.assertIn("quiet", texts.values())
        self.assertIn("rescue", texts.values())  # up to the first NUL, as the stub reads it
        # The stub's own SBAT lines, then the given one.
        self.assertTrue(any(t.startswith("sbat,1,") and t.endswith(sbat) for t in texts.values()), texts)
        boots = {b["profile"]: b["pcr11"] for b in doc["boots"]}
        for profile_number in (None, 0):
            for bank in BANKS:
                self.assertEqual(boots[profile_number][bank], pcr11(image, profile_number, bank).hex())

    def test_bad_input_is_one_line_and_status_1(self):
        good = Path(STUB).read_bytes()
        pe = struct.unpack_from("<I", good, 0x3C)[0]
        optional_size = struct.unpack_from("<H", good, pe + 20)[0]
        beyond = bytearray(good)
        struct.pack_into("<I", beyond, pe + 24 + optional_size + 20, len(good))  # first section's data
        cases = {"not-pe": b"#!/bin/sh\n" + bytes(200), "truncated": good[:pe + 30], "beyond": bytes(beyond),
                 "empty": b""}
        for name, data in cases.items():
            with self.subTest(name):
                for args in (("inspect", self.file(name, data)), ("measure", self.file(name, data))):
                    proc = run(*args, check=False)
                    self.assertEqual(proc.returncode, 1, proc.stderr)
                    self.assertEqual(proc.stdout, "")
                    self.assertEqual(proc.stderr.count("\n"), 1, proc.stderr)
                    self.assertTrue(proc.stderr.startswith(f"korvane-uki: {self.dir / name}: "), proc.stderr)


class RefusalTest(Scratch):
    def test_keys_and_options_that_cannot_work(self):
        rsa, rsa_public = self.keys("rsa")
        ec, ec_public = self.keys("ec", "--ec")
        self.assertEqual(openssl("genpkey", "-algorithm", "ed25519", "-out", self.file("ed.key")).returncode, 0)
        self.assertEqual(openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                                 "-out", self.file("small.key")).returncode, 0)
        self.assertEqual(openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout",
                                 "-out", self.file("p384.key")).returncode, 0)
        base = ["build", "--stub", STUB, "--linux", STUB, "-o", self.file("out.efi")]
        cases = [
            ([*base, "--pcr-private-key", self.file("ed.key")], 1, "neither an RSA nor a P-256 EC key"),
            ([*base, "--pcr-private-key", self.file("p384.key")], 1, "neither an RSA nor a P-256 EC key"),
            ([*base, "--pcr-private-key", self.file("small.key")], 1, "an RSA key of 1024 bits"),
            ([*base, "--pcr-private-key", rsa, "--pcr-public-key", ec_public], 1, "is not the public key of"),
            ([*base, "--pcr-private-key", ec, "--pcr-public-key", rsa_public], 1, "is not the public key of"),
            ([*base, "--pcr-private-key", rsa_public], 1, "not an unencrypted PEM private key"),
            ([*base, "--pcr-private-key", rsa, "--pcrsig", rsa], 1, "makes the .pcrsig itself"),
            ([*base, "--pcr-private-key", rsa, "--pcrpkey", rsa_public], 1, "--pcr-public-key"),
            ([*base, "--pcr-private-key", rsa, "--section", f".pcrsig:{rsa}"], 1, "makes the .pcrsig itself"),
            ([*base, "--pcr-public-key", rsa_public], 2, "need --pcr-private-key"),
            ([*base, "--pcr-private-key", rsa, "--pcr-bank", "md5"], 2, "unknown bank"),
            ([*base, "--pcr-private-key", rsa, "--phases", "a::b"], 2, "an empty phase"),
            (["measure", "--stub", STUB], 1, "no .linux section"),
            (["measure"], 2, "give an image or the sections"),
            (["measure", self.file("x"), "--linux", STUB], 2, "not both"),
            (["inspect"], 2, "which image?"),
            (["genkey", "--pcr-private-key", self.file("a")], 2, "go together"),
            (["genkey", "--pcr-private-key", self.file("a"), "--pcr-public-key", self.file("b"), "--bits", "1024"],
             2, "expects 2048 to 4096"),
            (["genkey", "--pcr-private-key", self.file("a"), "--pcr-public-key", self.file("b"), "--ec", "--bits",
              "2048"], 2, "not with --ec"),
            (["genkey", "--pcr-private-key", self.file("a"), "--pcr-public-key", rsa_public], 1, "does not overwrite"),
        ]
        for args, status, message in cases:
            with self.subTest(args=" ".join(map(str, args))):
                proc = run(*args, check=False)
                self.assertEqual(proc.returncode, status, proc.stderr)
                self.assertIn(message, proc.stderr)
                self.assertEqual(proc.stderr.count("\n"), 1, proc.stderr)
                self.assertFalse(self.file("out.efi").exists())
                self.assertFalse(self.file("a").exists())


class GenkeyTest(Scratch):
    def test_pcr_keys(self):
        for options, kind in (((), "RSA 2048"), (("--bits", "4096"), "RSA 4096"), (("--ec",), "EC")):
            with self.subTest(kind):
                private, public = self.keys(kind.replace(" ", ""), *options)
                self.assertEqual(stat.S_IMODE(private.stat().st_mode), 0o600)
                text = openssl("pkey", "-in", private, "-noout", "-text").stdout.decode()
                self.assertIn("P-256" if kind == "EC" else f"({kind.split()[1]} bit", text)
                derived = openssl("pkey", "-in", private, "-pubout").stdout
                self.assertEqual(public.read_bytes(), derived)

    def test_secure_boot_certificate(self):
        key, cert = self.file("db.key"), self.file("db.crt")
        run("genkey", "--secureboot-private-key", key, "--secureboot-certificate", cert, "--common-name", "Test DB")
        self.assertEqual(stat.S_IMODE(key.stat().st_mode), 0o600)
        text = openssl("x509", "-in", cert, "-noout", "-text").stdout.decode()
        self.assertIn("Subject: CN = Test DB", text)
        self.assertIn("Issuer: CN = Test DB", text)
        self.assertIn("Public-Key: (2048 bit)", text)
        self.assertIn("Code Signing", text)
        dates = openssl("x509", "-in", cert, "-noout", "-startdate", "-enddate").stdout.decode().split("\n")
        start, end = (int(d.split()[-2]) for d in dates[:2])
        self.assertEqual(end - start, 10)
        modulus = [openssl(kind, "-in", path, "-noout", "-modulus").stdout for kind, path in (("rsa", key),
                                                                                            ("x509", cert))]
        self.assertEqual(modulus[0], modulus[1])
        # An image signed with them verifies against the certificate.
        image = self.file("uki.efi")
        run("build", "--stub", STUB, "--linux", STUB, "-o", image)
        signed = subprocess.run(["sbsign", "--key", key, "--cert", cert, "--output", self.file("s.efi"), image],
                                capture_output=True)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        verify = subprocess.run(["sbverify", "--cert", cert, self.file("s.efi")], capture_output=True)
        self.assertEqual(verify.returncode, 0, verify.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
