// The certificate and attribute-certificate field locators on arbitrary
// bytes, each located field rendered the way the getters do.
#include "fuzz/FuzzInput.h"

#include "asn1/Asn1Der.h"

namespace {

void render(const Asn1Cursor& field) {
    (void)Asn1ContentHex(field.ptr, field.size);
    (void)Asn1NameToText(field.ptr, field.size);
    (void)Asn1DateText(field.ptr, field.size);
    (void)Asn1OidToText(field.ptr, field.size, false);
    Asn1Cursor child = field;
    if (Asn1Enter(field.ptr, &child) && child.size != 0) {
        (void)Asn1DateText(child.ptr, child.size);
        while (Asn1Next(child.ptr, &child)) (void)Asn1ContentHex(child.ptr, child.size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    static const int kCertFields[] = {100, 101, 103, 104, 105, 106, 111, 112, 113, 114, 0, 999};
    static const int kAttrCertFields[] = {100, 101, 102, 103, 104, 105, 106, 109, 110, 111, 0};
    for (int id : kCertFields) {
        Asn1Cursor field;
        if (CertFieldLocate(input.data(), input.size(), id, &field)) render(field);
    }
    for (int id : kAttrCertFields) {
        Asn1Cursor field;
        if (AttrCertFieldLocate(input.data(), input.size(), id, &field)) render(field);
    }
    Asn1Cursor field;
    if (ContentFieldLocate(input.data(), input.size(), 200, &field)) render(field);
    return 0;
}
