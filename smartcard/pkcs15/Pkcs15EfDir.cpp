#include "smartcard/pkcs15/Pkcs15EfDir.h"

#include "smartcard/pkcs15/Pkcs15Fields.h"

using namespace kivo::pkcs15;

namespace {

// The application-class identifiers of EF.DIR (ISO/IEC 7816-4).
constexpr Id kApplicationTemplate = static_cast<Id>(0x61);
constexpr Id kApplicationId = static_cast<Id>(0x4F);
constexpr Id kApplicationLabel = static_cast<Id>(0x50);
constexpr Id kApplicationPath = static_cast<Id>(0x51);

}  // namespace

CPkcs15EfDir::CPkcs15EfDir(const std::uint8_t* data, std::size_t length) {
    Asn1Cursor at = kivo::asn1::beginAt(data, length);
    if (!kivo::asn1::isAt(at, kApplicationTemplate)) {
        m_error = 1;
        return;
    }
    for (; kivo::asn1::isAt(at, kApplicationTemplate); kivo::asn1::advance(&at)) {
        readTemplate(at);
        if (m_aid == cPkcs15Aid) break;
    }
}

// The fields of one template; a later child of the same kind replaces an
// earlier one, other children are passed over.
void CPkcs15EfDir::readTemplate(const Asn1Cursor& element) {
    m_label.clear();
    m_path.clear();
    m_aid.clear();
    for (Asn1Cursor at = childrenOf(element, kApplicationTemplate); kivo::asn1::present(at);) {
        if (!takeHex(at, kApplicationId, m_aid) && !takeText(at, kApplicationLabel, m_label) &&
            !takeHex(at, kApplicationPath, m_path)) {
            kivo::asn1::advance(&at);
        }
    }
}
