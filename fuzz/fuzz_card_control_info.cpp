// What a card answers to SELECT, read for the file size in every form the
// card operating systems use, and PIN input turned into the PIN blocks: no
// read outside the answer, sizes only from within it, blocks always whole.
#include "fuzz/FuzzInput.h"
#include "smartcard/profiles/ControlInfo.h"
#include "smartcard/profiles/PinBlocks.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kivo::fuzz::ExactCopy answer(data, size);
    const std::span<const std::uint8_t> bytes(answer.data(), answer.size());
    for (const kivo::card::ControlInfoForm form :
         {kivo::card::kFcpSize80, kivo::card::kFcpSize80LongForm, kivo::card::kFciSize81,
          kivo::card::kFciSize85}) {
        const std::uint32_t fileSize = kivo::card::fileSizeFrom(bytes, form);
        // A size needs a template tag of the form and room for it.
        if (fileSize != 0 && (size < 6 || data[0] != form.templateTag)) std::abort();
    }
    kivo::card::PinBlock block;
    if (kivo::card::formatTwoBlock(bytes, block) && (block.octets[0] & 0xF0) != 0x20) std::abort();
    if (kivo::card::zeroPaddedBlock(bytes, block) && size > kivo::card::kPinBlockLength) std::abort();
    return 0;
}
