// Agreement with OpenSSL on the extensions of every CA certificate of the
// system store (/etc/ssl/certs, package ca-certificates): each extension
// is located in the DER, rendered, and compared with the text built from
// what OpenSSL parses out of the same certificate.

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ExtensionSSL.h"
#include "tests/cert/render/RenderTestUtil.h"
#include "tests/support/SystemCerts.h"

using namespace kivo::test::render;

namespace {

std::string dotted(const ASN1_OBJECT* object) {
    char text[256];
    const int n = OBJ_obj2txt(text, sizeof text, object, 1);
    return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

std::string stringOf(const ASN1_STRING* s) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
}

std::string hexOfString(const ASN1_STRING* s) {
    const unsigned char* data = ASN1_STRING_get0_data(s);
    return hexOf(Bytes(data, data + ASN1_STRING_length(s)));
}

// The text of a general name that the renderers copy as characters, or
// nothing for the other kinds.
std::optional<std::string> simpleName(const GENERAL_NAME* name) {
    int type = 0;
    const ASN1_STRING* value = static_cast<const ASN1_STRING*>(GENERAL_NAME_get0_value(name, &type));
    if (type == GEN_EMAIL || type == GEN_DNS || type == GEN_URI) return stringOf(value);
    return std::nullopt;
}

// Expected texts, from OpenSSL's parse; nothing when the extension holds
// parts that this comparison does not cover.
std::optional<std::string> expectedText(X509* cert, int nid) {
    void* parsed = X509_get_ext_d2i(cert, nid, nullptr, nullptr);
    if (parsed == nullptr) return std::nullopt;
    std::optional<std::string> text;
    switch (nid) {
        case NID_subject_key_identifier: {
            auto* id = static_cast<ASN1_OCTET_STRING*>(parsed);
            text = hexOfString(id);
            ASN1_OCTET_STRING_free(id);
            break;
        }
        case NID_authority_key_identifier: {
            auto* aki = static_cast<AUTHORITY_KEYID*>(parsed);
            text = aki->keyid != nullptr ? hexOfString(aki->keyid) : std::string();
            AUTHORITY_KEYID_free(aki);
            break;
        }
        case NID_key_usage: {
            auto* bits = static_cast<ASN1_BIT_STRING*>(parsed);
            text = hexOfString(bits);
            ASN1_BIT_STRING_free(bits);
            break;
        }
        case NID_certificate_policies: {
            auto* policies = static_cast<CERTIFICATEPOLICIES*>(parsed);
            if (sk_POLICYINFO_num(policies) > 0) text = dotted(sk_POLICYINFO_value(policies, 0)->policyid);
            CERTIFICATEPOLICIES_free(policies);
            break;
        }
        case NID_ext_key_usage: {
            auto* purposes = static_cast<EXTENDED_KEY_USAGE*>(parsed);
            if (sk_ASN1_OBJECT_num(purposes) > 0) {
                const std::string oid = dotted(sk_ASN1_OBJECT_value(purposes, 0));
                const char* name = OidToName(oid.c_str());
                text = "OID={" + oid + "=" + (name != nullptr ? name : "?") + "}";
            }
            EXTENDED_KEY_USAGE_free(purposes);
            break;
        }
        case NID_info_access: {
            auto* access = static_cast<AUTHORITY_INFO_ACCESS*>(parsed);
            std::string joined;
            bool covered = true;
            for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access); ++i) {
                const ACCESS_DESCRIPTION* d = sk_ACCESS_DESCRIPTION_value(access, i);
                const auto location = simpleName(d->location);
                if (!location) covered = false;
                if (covered) joined += (i == 0 ? "URI={" : ", URI={") + dotted(d->method) + "=" + *location + "}";
            }
            if (covered) text = joined;
            AUTHORITY_INFO_ACCESS_free(access);
            break;
        }
        case NID_crl_distribution_points: {
            auto* points = static_cast<STACK_OF(DIST_POINT)*>(parsed);
            std::string joined;
            bool covered = true;
            for (int i = 0; i < sk_DIST_POINT_num(points) && covered; ++i) {
                const DIST_POINT* point = sk_DIST_POINT_value(points, i);
                if (point->reasons != nullptr || point->CRLissuer != nullptr || point->distpoint == nullptr ||
                    point->distpoint->type != 0) {
                    covered = false;
                    break;
                }
                for (int j = 0; j < sk_GENERAL_NAME_num(point->distpoint->name.fullname); ++j) {
                    const GENERAL_NAME* name = sk_GENERAL_NAME_value(point->distpoint->name.fullname, j);
                    int type = 0;
                    GENERAL_NAME_get0_value(name, &type);
                    if (type != GEN_URI) {
                        covered = false;
                        break;
                    }
                    joined += (joined.empty() ? "URI={" : ", URI={") + *simpleName(name) + "}";
                }
            }
            if (covered) text = joined;
            sk_DIST_POINT_pop_free(points, DIST_POINT_free);
            break;
        }
        case NID_subject_alt_name:
        case NID_issuer_alt_name: {
            auto* names = static_cast<GENERAL_NAMES*>(parsed);
            std::string joined;
            bool covered = true;
            for (int i = 0; i < sk_GENERAL_NAME_num(names) && covered; ++i) {
                const auto name = simpleName(sk_GENERAL_NAME_value(names, i));
                covered = name.has_value();
                if (covered) joined += (i == 0 ? "" : ", ") + *name;
            }
            if (covered) text = joined;
            GENERAL_NAMES_free(names);
            break;
        }
    }
    return text;
}

struct Checked {
    int nid;
    const char* oid;
    Renderer renderer;
    bool skipsCriticalFlag;
};

}  // namespace

TEST(ExtensionRenderSystemCerts, RenderedExtensionsAgreeWithOpenSsl) {
    const std::vector<Checked> checked = {
        {NID_subject_key_identifier, "2.5.29.14", CExtensionSSL::getSubjectKeyIdent, false},
        {NID_authority_key_identifier, "2.5.29.35", CExtensionSSL::getAuthorityKeyIdent, false},
        {NID_key_usage, "2.5.29.15", CExtensionSSL::getKeyUsage, true},
        {NID_certificate_policies, "2.5.29.32", CExtensionSSL::getCertPolicies, false},
        {NID_ext_key_usage, "2.5.29.37", CExtensionSSL::getExtendedKeyUsage, false},
        {NID_info_access, "1.3.6.1.5.5.7.1.1", CExtensionSSL::getAuthorityInfoAccess, false},
        {NID_crl_distribution_points, "2.5.29.31", CExtensionSSL::getCRLDistrbutionPoints, false},
        {NID_subject_alt_name, "2.5.29.17", CExtensionSSL::getSubjectAltName, false},
        {NID_issuer_alt_name, "2.5.29.18", CExtensionSSL::getIssuerAltName, false},
    };
    const auto& certificates = kivo::test::systemCertificates();
    ASSERT_GE(certificates.size(), kivo::test::kMinimumSystemCertificates) << "is ca-certificates installed?";
    std::map<int, int> compared;
    int criticalSeen = 0;
    for (const auto& system : certificates) {
        X509* cert = system.x509.get();
        const Bytes& der = system.der;
        const std::string& path = system.file;
        for (const Checked& c : checked) {
            const int index = X509_get_ext_by_NID(cert, c.nid, -1);
            if (index < 0) continue;
            const std::optional<std::string> expected = expectedText(cert, c.nid);
            if (!expected) continue;
            const bool critical = X509_EXTENSION_get_critical(X509_get_ext(cert, index)) != 0;
            const Bytes element = extensionElement(der, c.oid);
            ASSERT_FALSE(element.empty()) << path << " " << c.oid;
            const std::string text = render(c.renderer, element);
            if (critical && !c.skipsCriticalFlag) {
                EXPECT_EQ(text, "") << path << " " << c.oid;
                ++criticalSeen;
            } else {
                EXPECT_EQ(text, expected->substr(0, 2047)) << path << " " << c.oid;
            }
            ++compared[c.nid];
        }
    }
    // The store is large enough that the common extensions were compared
    // many times.
    EXPECT_GE(compared[NID_subject_key_identifier], 100);
    EXPECT_GE(compared[NID_key_usage], 100);
    EXPECT_GE(compared[NID_authority_key_identifier], 20);
    std::cout << "compared:";
    for (const auto& [nid, count] : compared) std::cout << " " << OBJ_nid2sn(nid) << "=" << count;
    std::cout << " (critical, rendered empty: " << criticalSeen << ")\n";
}
