// Writes the seed inputs of every harness into DIR/NAME/: small well-formed examples of each
// format (and a few near misses), in the framing each harness reads.
//
//   fuzz-seeds DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hwids-description.h"
#include "hwids-table.h"
#include "input.h"
#include "support/gpt-builder.h"
#include "support/pe-builder.h"
#include "unit/fdt-builder.h"
#include "unit/smbios-tables.h"

namespace {

using fuzz::Bytes;
namespace fs = std::filesystem;

fs::path out_dir;

void seed(const std::string &harness, const std::string &name, const Bytes &bytes) {
    fs::path dir = out_dir / harness;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

Bytes text(const std::string &s) { return {s.begin(), s.end()}; }
Bytes u16(const std::u16string &s) { return fuzz::bytes_of_utf16(s); }

Bytes framed(std::initializer_list<uint8_t> head, std::initializer_list<Bytes> parts, const Bytes &rest = {}) {
    Bytes out(head);
    for (const Bytes &p : parts)
        fuzz::append_part(out, p);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = uint8_t(v >> (8 * i));
}

Bytes devicetree(const std::string &compatible) {
    fdttest::Fdt fdt;
    fdt.nop().begin_node("").prop("model", std::string("Board") + '\0').prop("compatible", compatible + '\0' + "acme,common" + '\0');
    fdt.begin_node("cpus").end_node().end_node().end();
    return fdt.build();
}

Bytes smbios_table(const std::string &oem) {
    using namespace smbiostest;
    return concat({system_information(1, 2, 3, 4, {"ACME", "Board A", "A-1", "Boards"}), baseboard(1, 2, {"ACME", "A"}),
                   structure(11, {2}, {"other=1", oem}), end_of_table()});
}

std::string hwids_description() {
    return "# boards\n[ACME Board A]\ncompatible = acme,board-a\nmanufacturer = ACME\nfamily = Boards\n"
           "product-name = Board A\nsku = A-1\nbaseboard-manufacturer = ACME\nbaseboard-product = A\n\n"
           "[ACME Board B]\ncompatible = acme,board-b\nchid = 2e0a5e6c-1b2f-5a77-9a4f-0c1d2e3f4a5b\n";
}

Bytes hwids_table() {
    std::ostringstream warnings;
    std::string t = korvane::encode_hwids_table(korvane::parse_hwids_description(hwids_description(), "seed"),
                                                "seed", warnings);
    return text(t);
}

Bytes bmp(uint16_t bpp, uint32_t width, uint32_t height, uint32_t header_size, uint32_t colours) {
    uint32_t row = (width * bpp + 31) / 32 * 4;
    uint32_t offset = 14 + header_size + 4 * colours;
    Bytes b(offset + row * height);
    b[0] = 'B', b[1] = 'M';
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, offset);
    put32(b, 14, header_size);
    put32(b, 18, width);
    put32(b, 22, height);
    b[26] = 1;
    b[28] = uint8_t(bpp);
    put32(b, 30, header_size >= 52 ? 3 : 0);
    put32(b, 46, colours);
    if (header_size >= 52) {
        put32(b, 54, bpp == 16 ? 0xf800 : 0xff0000);
        put32(b, 58, bpp == 16 ? 0x07e0 : 0xff00);
        put32(b, 62, bpp == 16 ? 0x001f : 0xff);
    }
    if (header_size >= 56)
        put32(b, 66, bpp == 16 ? 0 : 0xff000000);
    for (uint32_t i = 0; i < colours; i++)
        put32(b, 14 + header_size + 4 * i, 0x00102030 * (i + 1));
    for (size_t i = offset; i < b.size(); i++)
        b[i] = uint8_t(i * 7 % (colours ? colours : 256));
    return b;
}

void seed_pe() {
    using testsupport::build_pe;
    using testsupport::bytes_of;
    Bytes hwids = hwids_table();
    Bytes dt_a = devicetree("acme,board-a"), dt_b = devicetree("acme,board-b");
    Bytes addon = build_pe({.sections = {{".cmdline", bytes_of("console=ttyS0")}, {".dtbauto", dt_b},
                                         {".dtbauto", dt_a}, {".hwids", hwids}, {".uname", bytes_of("6.1.0-9")}}});
    Bytes profiles = build_pe({.sections = {{".linux", bytes_of("kernel")}, {".cmdline", bytes_of("base")},
                                            {".profile", bytes_of("ID=one")}, {".cmdline", bytes_of("one")},
                                            {".profile", bytes_of("ID=two")}, {".dtbauto", dt_a}, {".hwids", hwids}}});
    for (uint8_t flags : {0, 1, 2, 3}) {
        seed("addon-sections", "addon-" + std::to_string(flags), framed({flags, 0}, {}, addon));
        seed("addon-sections", "profiles-" + std::to_string(flags), framed({flags, 1}, {}, profiles));
    }

    Bytes compat = {2, 3, 0xff, 1, 8, 0x4c, 0x01, 0, 0, 0, 0, 1, 8, 0x64, 0x86, 0x34, 0x12, 0, 0, 0, 0};
    Bytes mixed = build_pe({.machine = 0, .sections = {{".setup", Bytes(64)}, {".compat", compat}, {".text", Bytes(64)}}});
    seed("kernel-image", "compat", mixed);
    seed("kernel-image", "native", build_pe({.sections = {{".text", Bytes(16)}}}));
    seed("kernel-image", "legacy", build_pe({.major_image_version = 0, .sections = {{".text", Bytes(16)}}}));

    seed("uki-pe", "stub", framed({0x00, 0x01}, {}, build_pe({.sections = {{".text", Bytes(32)}, {".data", Bytes(8)}}})));
    seed("uki-pe", "short-head", framed({0x40, 0x00}, {}, addon));
}

void seed_tables() {
    Bytes table = smbios_table("io.korvane.stub.kernel-cmdline-extra=debug quiet");
    for (uint8_t flags : {0, 1})
        seed("smbios", "identity-" + std::to_string(flags), framed({flags, 11}, {}, table));
    seed("smbios", "no-strings", framed({1, 1}, {}, {1, 27, 0, 0, 0, 0, 127, 4, 0, 0, 0, 0}));
    seed("chid", "match", framed({}, {table}, hwids_table()));
    seed("chid", "other", framed({}, {smbios_table("x=1")}, hwids_table()));

    for (uint8_t flags : {0, 1, 2, 3})
        seed("devicetree", "board-" + std::to_string(flags),
             framed({flags}, {text("acme,board-a")}, devicetree("acme,board-a")));
    seed("devicetree", "other", framed({0}, {text("acme,board-b")}, devicetree("acme,board-a")));

    testsupport::GptSpec spec;
    spec.entries = {{{0x0fc63daf, 0x8483, 0x4772, {0x8e, 0x79, 0x3d, 0x69, 0xd8, 0x47, 0x7d, 0xe4}}, {1}, 40, 45},
                    {{0xc12a7328, 0xf81f, 0x11d2, {0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}}, {2}, 34, 39}};
    Bytes disk = testsupport::build_gpt_disk(spec);
    seed("gpt", "esp", framed({0}, {}, disk));
    seed("gpt", "primary-unreadable", framed({1}, {}, disk));
    disk[2 * 512 + 128] ^= 1; // the primary array's second entry: its checksum fails
    seed("gpt", "primary-array-crc", framed({0}, {}, disk));
}

void seed_splash() {
    seed("splash", "1bpp", bmp(1, 10, 3, 40, 2));
    seed("splash", "4bpp", bmp(4, 5, 4, 40, 16));
    seed("splash", "8bpp", bmp(8, 6, 2, 40, 0x0));
    seed("splash", "8bpp-map", bmp(8, 6, 2, 40, 256));
    seed("splash", "16bpp", bmp(16, 7, 3, 40, 0));
    seed("splash", "16bpp-masks", bmp(16, 7, 3, 56, 0));
    seed("splash", "24bpp", bmp(24, 5, 5, 40, 0));
    seed("splash", "32bpp", bmp(32, 4, 4, 40, 0));
    seed("splash", "32bpp-alpha", bmp(32, 4, 4, 56, 0));
}

void seed_text() {
    for (const char *s : {"quiet splash", "caf\xc3\xa9 \xe2\x82\xac", "\xf0\x9f\x98\x80 a\x80"
                                                                      "b",
                          "\xc0\x80overlong", "\xed\xa0\x80surrogate"}) {
        Bytes in{0xff, 0xff};
        Bytes t = text(s);
        in.insert(in.end(), t.begin(), t.end());
        seed("utf8", "text-" + std::to_string(std::hash<std::string>()(s) % 1000), in);
    }

    auto listing = [](std::initializer_list<std::pair<uint8_t, std::u16string>> entries) {
        Bytes out;
        for (auto &[directory, name] : entries) {
            out.push_back(directory);
            fuzz::append_part(out, u16(name));
        }
        return out;
    };
    Bytes names = listing({{0, u"b.cred"}, {0, u"A.CRED"}, {0, u".hidden.cred"}, {1, u"dir.cred"},
                           {0, u"x.raw.cred"}, {0, u"caf\u00e9.cred"}});
    for (const char16_t *path : {u"\\EFI\\Linux\\os+3-1.efi", u"/EFI//Linux/os+5.efi", u"\\EFI\\os+x.efi", u"os+1-2-3"}) {
        Bytes in;
        fuzz::append_part(in, u16(path));
        in.insert(in.end(), names.begin(), names.end());
        seed("file-names", "names-" + std::to_string(std::u16string(path).size()), in);
    }

    // Nodes as the harness reads them: type, subtype, data.
    Bytes hd(2 + 38);
    hd[0] = 4, hd[1] = 1, hd[2] = 1, hd[38] = 2, hd[39] = 2;
    Bytes file = {4, 4};
    Bytes name = u16(std::u16string(u"\\EFI\\a.efi") + u'\0');
    file.insert(file.end(), name.begin(), name.end());
    for (uint8_t flags : {0, 1, 2}) {
        Bytes in = framed({flags, 1}, {u16(u"\\EFI\\Linux\\x.efi")});
        in.push_back(1); // the node shortened when flags say so
        for (const Bytes &node : {Bytes{1, 1, 0, 2}, hd, file})
            fuzz::append_part(in, node);
        seed("device-path", "path-" + std::to_string(flags), in);
    }

    for (uint8_t flags = 0; flags < 16; flags++) {
        Bytes options = u16(flags & 4 ? u"" : u"@1  quiet\tsplash \r\n");
        std::vector<Bytes> shell = {u16(u"@1"), u16(u"root=/dev/sda2"), u16(u"ro\tquiet")};
        Bytes in = framed({flags}, {text("root=/dev/sda2 ro "), u16(u" debug\x7f")});
        if (flags & 4)
            for (const Bytes &a : shell)
                fuzz::append_part(in, a);
        else
            in.insert(in.end(), options.begin(), options.end());
        seed("cmdline", "args-" + std::to_string(flags), in);
    }

    seed("hwids-description", "boards", text(hwids_description()));
    seed("hwids-description", "errors", text("[x]\ncompatible=\nmanufacturer= 00A \n[y]\nchid=zz\n; c\n"));
}

void seed_files() {
    auto dir = [](std::initializer_list<std::tuple<uint8_t, std::u16string, std::string>> files) {
        Bytes out;
        for (auto &[directory, name, contents] : files) {
            out.push_back(directory);
            fuzz::append_part(out, u16(name));
            fuzz::append_part(out, text(contents));
        }
        return out;
    };
    Bytes creds = dir({{0, u"b.cred", "secret b"}, {0, u"A.cred", "secret A"}, {0, u".hidden.cred", "h"},
                       {1, u"dir.cred", ""}, {0, u"empty.cred", ""}, {0, u"x.raw", "image"},
                       {0, u"y.confext.raw", "conf"}});
    for (uint8_t flags : {0, 1, 2, 3}) {
        Bytes in{flags};
        in.insert(in.end(), creds.begin(), creds.end());
        seed("sidecar", "dir-" + std::to_string(flags), in);
    }

    Bytes seed_file(64, 0x42);
    for (uint8_t flags : {0x11, 0x19, 0x15, 0x1d, 0x12, 0x31, 0x51, 0x10, 0x14}) {
        Bytes in{flags, 0x0a, 32, 0, 0, 0};
        fuzz::append_part(in, Bytes(32, 0x11));
        fuzz::append_part(in, Bytes(flags & 4 ? 32 : 10, 0x22));
        in.insert(in.end(), seed_file.begin(), seed_file.end());
        seed("random-seed", "seed-" + std::to_string(flags), in);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz-seeds DIR\n");
        return 2;
    }
    out_dir = argv[1];
    seed_pe();
    seed_tables();
    seed_splash();
    seed_text();
    seed_files();
    return 0;
}
