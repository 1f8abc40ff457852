"""REPORT.md from the figures of results.json."""

from __future__ import annotations


def _kib(n: float) -> str:
    return f"{n / 1024:,.1f} KiB"


def _mib(n: float) -> str:
    return f"{n / (1 << 20):,.1f} MiB"


def _millions(n: float) -> str:
    return f"{n / 1e6:,.1f} M"


def _machine(m: dict) -> list[str]:
    return [
        "| | |", "|---|---|",
        f"| processor | {m['cpu']} ({m['cores']} cores) |",
        f"| memory | {m['memory_mib']:,} MiB |",
        f"| system | {m['os']}, Linux {m['kernel']} |",
        f"| load average at the start | {' / '.join(f'{x:.1f}' for x in m['load_average'])} |",
        f"| compiler | {m['clang']} |",
        f"| QEMU / OVMF / swtpm | {m['qemu']} / {m['ovmf']} / {m['swtpm']} |",
    ]


def _headline(r: dict) -> list[str]:
    rows = ["| Figure | Measured | Goal |", "|---|---|---|"]
    if "size" in r:
        s = r["size"]
        rows.append(f"| stub size | {s['stub_bytes']:,} bytes ({_kib(s['stub_bytes'])}) | "
                    f"≤ {s['budget_bytes']:,} bytes |")
    if "builder" in r:
        b = r["builder"]
        rows.append(f"| `korvane-uki build` ÷ `cat`, best / median of {b['rounds']} | "
                    f"{_cat_ratios(b, 'korvane-uki')} | ≤ {b['goal_ratio_to_cat']} |")
        if "korvane-uki signed" in b["tools"]:
            rows.append(f"| signed build ÷ `cat`, best / median of {b['rounds']} | "
                        f"{_cat_ratios(b, 'korvane-uki signed')} | ≤ 2.5 |")
        if "signed_ratio_to_sbsign" in b:
            rows.append(f"| signed build ÷ (build, then `sbsign`) | {b['signed_ratio_to_sbsign']:.2f} | |")
    if "boot" in r:
        for c in r["boot"]["configurations"]:
            rows.append(f"| boot path, stub ÷ floor, {c['name']} | {c['ratio']:.3f} | ≤ {r['boot']['goal_ratio']} |")
    if "pack" in r:
        big = [c for c in r["pack"]["cases"] if c["files"] == 1 and c["file_size"] > 1 << 20]
        for c in big:
            rows.append(f"| packing a {_mib(c['file_size'])} image: peak memory ÷ archive | "
                        f"{c['peak_memory_over_archive']:.4f} | archive + a few pages |")
            rows.append(f"| packing a {_mib(c['file_size'])} image: bytes copied | {c['copied_bytes']:,} | "
                        "no copy of the file |")
    return rows


def _median_ratio(b: dict, name: str) -> float:
    return b["tools"][name]["seconds"]["median"] / b["tools"]["cat"]["seconds"]["median"]


def _cat_ratios(b: dict, name: str) -> str:
    return f"{b['ratio_to_cat'][name]:.2f} / {_median_ratio(b, name):.2f}"


def _size(s: dict) -> list[str]:
    out = [f"The stub is **{s['stub_bytes']:,} bytes**; its budget is {s['budget_bytes']:,}.", "",
           "| Section | In memory | In the file |", "|---|---|---|"]
    out += [f"| `{x['name']}` | {x['virtual_size']:,} | {x['raw_size']:,} |" for x in s["sections"]]
    out += ["", f"The largest of the {s['object_count']} object files, by the bytes the linker's map places "
            "in the image (code, constants and data after unreferenced functions are dropped):", "",
            "| Object file | Bytes |", "|---|---|"]
    out += [f"| `{o['object']}` | {o['bytes']:,} |" for o in s["objects"]]
    out += ["", f"{s['unattributed_bytes']:,} bytes of the sections have no object file in the map: string "
            "literals, which the linker merges across object files, and its own data."]
    return out


def _builder(b: dict) -> list[str]:
    i = b["inputs"]
    out = [f"Inputs: the stub ({i['stub_bytes']:,} bytes), Debian's kernel `{i['kernel']}` "
           f"({i['kernel_bytes']:,} bytes) and a {_mib(i['initrd_bytes'])} initrd of random bytes. "
           f"{b['rounds']} rounds, the tools interleaved in each, after a first round that creates the outputs and "
           "is not counted: every counted run replaces its output, which has gone to disk before it starts.", "",
           "| Tool | Best | Median | Worst | ÷ cat (best) | ÷ cat (median) | Peak memory |",
           "|---|---|---|---|---|---|---|"]
    for name, t in b["tools"].items():
        s = t["seconds"]
        out.append(f"| `{name}` | {s['best']:.3f} s | {s['median']:.3f} s | {s['worst']:.3f} s | "
                   f"{b['ratio_to_cat'][name]:.2f} | {_median_ratio(b, name):.2f} | "
                   f"{t['peak_rss_kib'] / 1024:,.1f} MiB |")
    out += ["", "*korvane-uki signed* signs as it writes (Authenticode, the key made for the run); *korvane-uki + "
            "sbsign* builds unsigned and signs the result with `sbsign`, which reads the image again and writes "
            "a second copy.", "",
            "`cat` writes the three files one after another; `korvane-uki` and `objcopy` write a PE image with "
            "two more sections (headers, alignment, the checksum), which is a few KiB larger. `korvane-uki` "
            "streams its inputs in blocks of 1 MiB, each read once and written from where it was read, and "
            "computes the checksum as it writes, so its memory does not grow with the initrd; `objcopy` holds "
            "the sections in memory. Signing, it computes the Authenticode digest in a second thread that "
            "follows the writing a few blocks behind: SHA-256 of every byte (this processor's SHA instructions "
            "give about 1.6 GB/s, some 65 ms for these inputs) is then most of the time, and the second thread "
            "only helps as far as the second core is free. On a machine shared with other work single runs "
            "move a lot (see the worst column and the load average above), so the ratio is given both by the "
            "best runs and by the medians."]
    return out


def _boot(b: dict) -> list[str]:
    sizes = b["sizes"]
    out = [f"One unified kernel image, built twice: in front of the stub and in front of the floor. Its payload "
           f"is a stand-in kernel that reads the time stamp counter at its entry; the launcher read it right "
           f"before StartImage of the image. Under `-icount shift=0,align=off,sleep=off` the counter advances "
           f"by one per instruction, so the difference counts the instructions between the two, the "
           f"firmware's included. The image holds a {_mib(sizes['initrd'])} `.initrd`, a "
           f"{_kib(sizes['ucode'])} `.ucode`, `.cmdline` and `.osrel`; its `.extra.d` holds two credentials "
           f"of {_kib(sizes['credential'])}, a {_mib(sizes['sysext'])} system extension image, an add-on "
           f"with a command line and one with a {_mib(sizes['addon-initrd'])} initrd. "
           f"{b['runs']} boots per image and configuration; the figures are medians.", "",
           "| Configuration | Stub | Floor | Stub ÷ floor | Stub − floor | Spread stub / floor | "
           "Initrd stub / floor |", "|---|---|---|---|---|---|---|"]
    for c in b["configurations"] + ([b["bare"]] if "bare" in b else []):
        initrd = {k: sorted({x["initrd_bytes"] for x in c["boots"][k]}) for k in ("stub", "floor")}
        out.append(f"| {c['name']} | {_millions(c['stub_instructions'])} | {_millions(c['floor_instructions'])} | "
                   f"**{c['ratio']:.3f}** | {_millions(c['extra_instructions'])} | "
                   f"{c['spread']['stub']:,} / {c['spread']['floor']:,} | "
                   f"{'/'.join(map(str, initrd['stub']))} / {'/'.join(map(str, initrd['floor']))} |")
    out += ["", "Instructions in millions. The spread is the largest minus the smallest count of the runs.", "",
            "The kernel's command line, as the payload got it:", ""]
    first = b["configurations"][0]["boots"]
    out += [f"- stub: `{first['stub'][0]['load_options'].rstrip(chr(0))}`",
            f"- floor: `{first['floor'][0]['load_options'].rstrip(chr(0))}`"]
    return out + _above_the_floor(b)


def _above_the_floor(b: dict) -> list[str]:
    full = b["configurations"][0]
    out = ["", "### What the stub does above the floor", ""]
    if "bare" in b:
        bare = b["bare"]
        extra = full["extra_instructions"]
        with_files = (f"{_millions(extra)} more" if extra >= 0 else f"{_millions(-extra)} less")
        out += [f"With nothing beside the image the stub costs {_millions(bare['extra_instructions'])} instructions "
                f"more than the floor; with the credentials, the extension image and the add-ons {with_files} "
                "(no TPM in both). The first part is paid on every boot, the rest follows the files beside the "
                "image.", ""]
    out += [
        "Paid on every boot, for features the floor leaves out by design:",
        "",
        "- the stack guard and the random seed: two requests to the RNG, and the seed's search for the ESP, which reads the "
        "GPT from the disk (the seed is refreshed only when `\\loader\\random-seed` exists, but the RNG is asked before the "
        "file is looked for);",
        "- the boot loader interface variables: about ten SetVariable calls;",
        "- the SMBIOS lookup of the command-line extra, the confidential-VM check and the Secure Boot state;",
        "- every measurement looks up the TCG2 and CC protocols again and asks for the TPM's capability, where the "
        "floor looks once: the measurement code keeps no state between calls, by design.",
        "",
    ]
    out += _breakdown(b["breakdown"]) if "breakdown" in b else [
        "How the per-file part divides between the directory passes and the add-ons' LoadImage is not broken "
        "down by this benchmark run; boots with each kind of file alone would tell.",
        "",
    ]
    out += [
        "Copies: the floor reads each sidecar file once into an archive and copies every initrd part once into "
        "the combined initrd; the stub copies the parts from the image and the add-ons there and reads each "
        "sidecar file once straight into its place in it. Before this benchmark's changes to packing, the stub "
        "read each sidecar file into a buffer of its own, copied it into an archive reallocated for every file, "
        "and held the file twice.",
        "",
        "On the counter: under `-icount` a wait for a device (a disk command, an RNG or TPM request) counts too, "
        "since the firmware polls while QEMU completes the request and every poll is an instruction; how many "
        "polls depends on how fast the host answers. That is why runs of one configuration differ (the spread "
        "column), more on a loaded host, and why the stub's extra device requests weigh more here than their "
        "work: a comparison of two figures holds only beyond that spread.",
    ]
    return out


def _small_millions(n: float) -> str:
    return "< 0.1 M" if n < 0.05e6 else _millions(n)


def _spread(values: list[float]) -> str:
    low, high = min(values), max(values)
    return _small_millions(low) if high - low < 0.05e6 else f"{low / 1e6:,.1f} to {_millions(high)}"


def _breakdown(d: dict) -> list[str]:
    """The files beside the image, taken apart: boots with each kind alone, and a stub built with
    counter reads between its steps."""
    out = ["Following the files beside the image, taken apart on " + d["taken"] + " (" + d["note"] + "): "
           "first boots with each kind of file alone beside the image,", "",
           "| Beside the image | Stub | Floor | Stub − floor |", "|---|---|---|---|"]
    for a in d["alone"]:
        out.append(f"| {a['files']} | {_millions(a['stub'])} | {_millions(a['floor'])} | "
                   f"{_millions(a['stub'] - a['floor'])} |")
    fw = d["firmware_32mib"]
    reads = next(s["instructions"] for s in d["steps"] if s["step"].startswith("reading"))
    addons = sum(s["instructions"][0] for s in d["steps"] if "add-on" in s["step"])
    pages_saving = fw["AllocatePool"] + fw["FreePool"] - fw["FreePages"] - fw["AllocatePages"]
    out += ["", "then a stub built for the purpose (a temporary build, not in the tree) "
            "that reads the counter between its steps, "
            "each step in as many boots as there are figures:", "",
            "| Step | Instructions | The floor does it too |", "|---|---|---|"]
    for s in d["steps"]:
        out.append(f"| {s['step']} | {_spread(s['instructions'])} | {'yes' if s['floor'] else 'no'} |")
    out += ["", "and, in one of those boots, the firmware's own cost of 32 MiB taken and given back: AllocatePool "
            f"{_millions(fw['AllocatePool'])}, FreePool {_millions(fw['FreePool'])}, AllocatePages "
            f"{_small_millions(fw['AllocatePages'])}, FreePages {_millions(fw['FreePages'])}. By these figures "
            "this OVMF goes over the "
            "memory it hands out from its pool once per byte, over pool memory given back twice per byte, and "
            "over pages given back once per byte.", "",
            "So, before the change below, nearly all of the per-file part was one firmware call: FreePool of "
            "the 32 MiB extension image's archive, right after the combined initrd took its copy. The stub frees the sidecar archives there "
            "on purpose, so that a large extension image is not held twice while the kernel loads its own copy "
            "of the initrd; the floor never frees. Reading the file is the same work in both, but its figure "
            f"follows the host (the disk's polling): {_millions(max(reads) - min(reads))} apart between boots of "
            "one image here, which is why the one-boot gaps above do not add up. The directory passes and the "
            "credentials cost next to nothing; the add-ons' LoadImage and the copies around it are about "
            f"{_millions(addons)}, the price of the firmware vouching for them.", "",
            "The release stays where it is, so that a large extension image is not held twice while the kernel "
            "loads; what changed is where the archives live. They are allocated in pages now and given back with "
            "FreePages, which removes both passes the firmware's pool made over them (the allocation's and the "
            f"release's second): about {_millions(pages_saving)} by the figures above."]
    if "pages_trial" in d:
        trial = d["pages_trial"]
        out[-1] += (" A throwaway stub that did just that before the change (the extension and credential archives "
                    "in pages; it also printed its counter reads, which adds a little) counted " +
                    ", ".join(f"{_millions(trial['after'][k])} with {k}" for k in trial["after"]) +
                    ", against " + " and ".join(_millions(v) for v in trial["before"].values()) +
                    " for the stub of then in the same two cases, booted just before; its release took "
                    f"{_millions(trial['release'])}.")
    if "before_pages" in d:
        before = d["before_pages"]
        out[-1] += (f" The run of {before['taken']}, before the change, measured " +
                    "; ".join(f"{c['name']}: {c['ratio']:.3f} ({_millions(c['stub'])} against "
                              f"{_millions(c['floor'])})" for c in before["configurations"]) +
                    ".")
    out.append("")
    if "after_pages" in d:
        out += _after_pages(d["after_pages"])
    return out


def _after_pages(a: dict) -> list[str]:
    """The stub with its archives in pages, counted between its steps."""
    out = [f"The stub with the change, counted between its steps the same way ({a['note']}; {a['taken']}), with "
           "all five files beside the image:", "", "| Step | Instructions | The floor does it too |",
           "|---|---|---|"]
    out += [f"| {x['step']} | {_millions(x['instructions'])} | {x['floor']} |" for x in a["steps"]]
    out += ["", a["conclusion"]]
    if "configurations" in a:
        out[-1] += (" With the archives in pages and before that step, the run of " + a["configurations_taken"] +
                    " measured " + "; ".join(f"{c['name']}: {c['ratio']:.3f}" for c in a["configurations"]) +
                    ". The figures at the top of this section are the stub with both changes.")
    out.append("")
    return out


def _pack(p: dict) -> list[str]:
    out = [f"`pack_cpio` on the fake firmware (host build without sanitizers), best host time of {p['rounds']} "
           "rounds. *Copied* counts the bytes the stub moved with CopyMem; *read* what the firmware delivered "
           "from files; *peak memory* the most pool and page memory live at once during the pass, above what "
           "was live before it.", "",
           "| Case | Payload | Archive | Host time | Copied | Copied ÷ payload | Read | Peak memory | "
           "Peak ÷ archive |", "|---|---|---|---|---|---|---|---|---|"]
    for c in p["cases"]:
        out.append(f"| {c['case']} | {c['payload_bytes']:,} | {c['archive_bytes']:,} | {c['seconds'] * 1000:.2f} ms | "
                   f"{c['copied_bytes']:,} | {c['copied_per_payload_byte']:.4f} | {c['read_bytes']:,} | "
                   f"{c['peak_memory_bytes']:,} | {c['peak_memory_over_archive']:.4f} |")
    return out


def render(r: dict) -> str:
    lines = ["# What korvane-boot costs", "",
             "Written by `scripts/bench.sh` (`bench/run.py`); the same figures are in `bench/results.json`. "
             "Every figure is measured side by side with its reference in the same run. Nothing here is a "
             "pass/fail test.", "", "## Machine", ""]
    lines += _machine(r["machine"])
    lines += ["", "## Headline", ""] + _headline(r)
    sections = (("size", "1. Size", _size), ("builder", "2. Builder", _builder),
                ("boot", "3. Boot path, deterministic", _boot), ("pack", "4. Sidecar packing at scale", _pack))
    for key, title, writer in sections:
        if key in r:
            lines += ["", f"## {title}", "", f"_Taken {r[key]['taken']}, in {r[key]['seconds']} s._", ""]
            lines += writer(r[key])
    return "\n".join(lines) + "\n"
