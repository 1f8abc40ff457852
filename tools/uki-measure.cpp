#include "uki-measure.h"

#include "our-images.h"
#include "pcr/image-sections.h"

namespace korvane {

namespace {

std::vector<PeSectionHeader> table_of(std::span<const MeasuredSection> sections) {
    std::vector<PeSectionHeader> table;
    for (const MeasuredSection &s : sections)
        table.push_back(s.header);
    return table;
}

std::string boot_label(std::span<const MeasuredSection> sections, const BootChoice &boot, bool has_dtbauto) {
    std::string label = boot.profile ? "profile " + std::to_string(*boot.profile) : "base";
    if (boot.dtbauto) {
        const std::string &compatible = sections[*boot.dtbauto].compatible;
        label += " with the .dtbauto of section " + std::to_string(*boot.dtbauto);
        if (!compatible.empty())
            label += " (" + compatible + ")";
    } else if (has_dtbauto) {
        label += " with no .dtbauto";
    }
    return label;
}

// A boot's choice of .dtbauto matters only when its groups hold some.
bool offers_dtbauto(const std::vector<BootChoice> &boots, const BootChoice &boot) {
    for (const BootChoice &b : boots)
        if (b.profile == boot.profile && b.dtbauto)
            return true;
    return false;
}

std::vector<MeasuredSection> planned_sections(const MeasureRequest &request, std::ostream &warnings) {
    std::string stub = request.stub.empty() ? find_our_image(STUB_FILE, "measure") : request.stub;
    ImagePlan plan = plan_image(stub, request.sections, std::nullopt, warnings);
    check_uki(plan.names(), plan.contents, "measure");
    std::vector<PeSectionHeader> table = output_section_table(plan.headers, plan.layout("measure"));
    std::vector<MeasuredSection> sections =
        measure_sections_of(plan.base, plan.headers.sections, request.banks);
    for (std::size_t i = 0; i < plan.contents.size(); i++) {
        const PeSectionHeader &h = table[sections.size()];
        if (!is_measured_section(plan.contents[i].name())) {
            sections.push_back({h, {}, ""});
            continue;
        }
        SectionDigester digester(h, request.banks);
        plan.contents[i].read([&](const std::uint8_t *data, std::size_t n) { digester.add(data, n); });
        sections.push_back(digester.finish());
    }
    // The stub's own sections are where the output has them.
    for (std::size_t i = 0; i < plan.headers.sections.size(); i++)
        sections[i].header = table[i];
    return sections;
}

} // namespace

Json pcr11_json(std::span<const MeasuredSection> sections, const std::vector<Bank> &banks,
                std::span<const std::string> phases) {
    Json boots_json = Json::Array{};
    for (const BootChoice &boot : boot_choices(table_of(sections))) {
        Json &entry = boots_json.push(Json::Object{});
        entry.set("profile", boot.profile ? Json(*boot.profile) : Json());
        if (boot.dtbauto) {
            Json dtbauto = Json::Object{};
            dtbauto.set("section", Json(std::uint64_t{*boot.dtbauto}));
            const std::string &compatible = sections[*boot.dtbauto].compatible;
            dtbauto.set("compatible", compatible.empty() ? Json() : Json(compatible));
            entry.set("dtbauto", std::move(dtbauto));
        } else {
            entry.set("dtbauto", Json());
        }
        std::vector<Bytes> values = predict_pcr11(sections, boot, banks, phases);
        Json &pcr11 = entry.set("pcr11", Json::Object{});
        for (std::size_t b = 0; b < banks.size(); b++)
            pcr11.set(std::string(bank_name(banks[b])), hex_string(values[b]));
    }
    return boots_json;
}

void print_pcr11(std::ostream &out, std::span<const MeasuredSection> sections, const std::vector<Bank> &banks,
                 std::span<const std::string> phases, const std::string &indent) {
    std::vector<BootChoice> boots = boot_choices(table_of(sections));
    for (const BootChoice &boot : boots) {
        std::vector<Bytes> values = predict_pcr11(sections, boot, banks, phases);
        std::string label = boot_label(sections, boot, offers_dtbauto(boots, boot));
        for (std::size_t b = 0; b < banks.size(); b++)
            out << indent << label << ": " << bank_name(banks[b]) << " " << hex_string(values[b]) << "\n";
    }
}

void run_measure(const MeasureRequest &request, std::ostream &out, std::ostream &warnings) {
    std::vector<MeasuredSection> sections;
    if (!request.image.empty()) {
        InputFile image(request.image);
        sections = measure_sections_of(image, load_pe_headers(image).sections, request.banks);
    } else {
        sections = planned_sections(request, warnings);
    }
    if (!request.json) {
        print_pcr11(out, sections, request.banks, request.phases, "");
        return;
    }
    Json document = Json::Object{};
    Json &phases = document.set("phases", Json::Array{});
    for (const std::string &phase : request.phases)
        phases.push(phase);
    document.set("boots", pcr11_json(sections, request.banks, request.phases));
    out << document.dump() << "\n";
}

} // namespace korvane
