#include "smartcard/pkcs15/Pkcs15DfOdf.h"

#include "smartcard/pkcs15/Pkcs15Fields.h"
#include "smartcard/transport/CardTrace.h"

using namespace kivo::pkcs15;

namespace {

bool isKind(int kind) { return kind >= 0 && kind < CPkcs15DfOdf::cKinds; }

// The kind of an ODF element ([0]..[8] constructed), or -1.
int kindAt(const Asn1Cursor& at) {
    if (!kivo::asn1::present(at)) return -1;
    const int kind = kivo::asn1::identifierAt(at) - kivo::asn1::octet(constructedContext(0));
    return isKind(kind) ? kind : -1;
}

}  // namespace

CPkcs15DfOdf::CPkcs15DfOdf(const std::uint8_t* data, std::size_t length) {
    for (Asn1Cursor at = kivo::asn1::beginAt(data, length); kindAt(at) >= 0; kivo::asn1::advance(&at)) {
        // The choice, then the Path SEQUENCE: its first child is efidOrPath.
        const Asn1Cursor efidOrPath = kivo::asn1::firstChild(kivo::asn1::firstChild(at));
        if (kivo::asn1::present(efidOrPath)) store(kindAt(at), Asn1ContentHex(efidOrPath.ptr, efidOrPath.size));
    }
}

void CPkcs15DfOdf::store(int kind, const char* path) {
    std::size_t& count = m_counts[static_cast<std::size_t>(kind)];
    if (count == cMaxPathsPerKind) {
        kivo::CardTrace::write(kivo::CardTrace::cLevelInfo,
                               "ODF: more than %zu paths of kind %d, %s passed over\n",
                               cMaxPathsPerKind, kind, path);
        return;
    }
    m_paths[static_cast<std::size_t>(kind)][count++] = path;
}

std::size_t CPkcs15DfOdf::pathCount(int kind) const {
    return isKind(kind) ? m_counts[static_cast<std::size_t>(kind)] : 0;
}

const std::string& CPkcs15DfOdf::path(int kind, std::size_t index) const {
    static const std::string none;
    if (index >= pathCount(kind)) return none;
    return m_paths[static_cast<std::size_t>(kind)][index];
}
