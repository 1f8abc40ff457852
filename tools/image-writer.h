// Writes a PE image laid out by plan_append: the stub's headers and data, then each
// appended section's content, then the signature if asked for, then the checksum over the
// finished file. The output
// appears under its name only when all of it is written.
#pragma once

#include "pe-layout.h"
#include "section-content.h"

#include <span>
#include <string>

namespace korvane {

class InputFile;
class SigningKey;

// sections[i] is the content of layout.appended[i]; they are written in file order. The
// sinks see every byte of the output but the CheckSum field's final value. With a key, the
// image is signed for Secure Boot on the way: its certificate table follows the last section.
void write_pe_image(const InputFile &stub, const PeLayout &layout, std::span<const SectionContent> sections,
                    const std::string &output, std::span<StreamSink *const> sinks = {},
                    const SigningKey *key = nullptr);

} // namespace korvane
