// The OID registry and the classification of attribute and extension OIDs.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "tests/asn1/DerTestUtil.h"
#include "asn1/Asn1Der.h"
#include "asn1/OidRegistry.h"

using namespace kivo::test::der;
using kivo::asn1::oidRegistry;

TEST(OidRegistry, EachEncodingIsOpenSslsAndDecodesToItsDottedText) {
    for (const auto& entry : oidRegistry()) {
        ASSERT_GE(entry.derLength, 3u) << entry.dotted;
        ASSERT_LE(entry.derLength, entry.der.size()) << entry.dotted;
        EXPECT_EQ(Bytes(entry.der.begin(), entry.der.begin() + entry.derLength), oid(entry.dotted)) << entry.dotted;
        ExactBuffer element(entry.der.data(), entry.derLength);
        EXPECT_STREQ(Asn1OidToText(element.data(), element.size(), false), entry.dotted);
    }
}

TEST(OidRegistry, LookupReturnsTheFirstOfEightyEightEntries) {
    ASSERT_EQ(oidRegistry().size(), 88u);
    std::set<std::string> seen;
    for (const auto& entry : oidRegistry()) {
        const bool first = seen.insert(entry.dotted).second;
        const char* name = OidToName(entry.dotted);
        ASSERT_NE(name, nullptr) << entry.dotted;
        if (first) {
            EXPECT_EQ(name, entry.name) << entry.dotted;
        } else {
            EXPECT_STRNE(name, entry.name) << entry.dotted << " is shadowed";
        }
    }
    EXPECT_EQ(seen.size(), 86u);  // two dotted texts occur twice
}

TEST(OidRegistry, NamesByExactComparison) {
    const std::pair<const char*, const char*> cases[] = {
        {"1.2.840.113549.1.1.1", "rsaEncryption"},
        {"1.3.36.8.3.14", "id-isismtt-at-nameAtBirth"},  // not the later "nameAtBirth"
        {"0.4.0.1862.1.2", "QcEuLimitValue"},
        {"2.5.4.42", "givenname"},
        {"2.5.29.37", "extended key usage"},
        {"0.4.0.194121.1.2", "id-etsi-qcs-SemanticsId-Legal"},
        {"1.2.840.113549.1.7.2", nullptr},
        {"1.2.840.113549.1.1", nullptr},
        {"1.2.840.113549.1.1.1 ", nullptr},
        {"1.2.840.113549.1.1.10.1", nullptr},
        {"", nullptr},
    };
    for (const auto& [dotted, name] : cases) {
        if (name == nullptr) {
            EXPECT_EQ(OidToName(dotted), nullptr) << dotted;
            EXPECT_EQ(OidToNameOrSelf(dotted), dotted);
        } else {
            EXPECT_STREQ(OidToName(dotted), name);
            EXPECT_STREQ(OidToNameOrSelf(dotted), name);
        }
    }
    EXPECT_EQ(OidToName(nullptr), nullptr);
    EXPECT_EQ(OidToNameOrSelf(nullptr), nullptr);
}

TEST(OidClassify, AttributeOids) {
    const struct {
        const char* dotted;
        int code;
    } cases[] = {
        {"1.3.36.8.3.1", 1}, {"1.3.36.8.3.4", 2}, {"0.4.0.1862.1.2", 2}, {"1.3.36.8.3.2", 3},
        {"1.3.36.8.3.3", 4}, {"1.3.36.8.3.5", 5}, {"1.3.36.8.3.6", 7},   {"1.3.36.8.3.8", 8},
        {"1.3.36.8.3.15", 8}, {"2.5.29.9", 9},    {"1.3.36.8.3.7", 0},   {"2.5.29.17", 0},
        {"1.3.36.8.3.1.1", 0}, {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyAttributeOid(c.dotted), c.code) << c.dotted;
    EXPECT_EQ(ClassifyAttributeOid(nullptr), 0);
}

TEST(OidClassify, ExtensionOids) {
    const struct {
        const char* dotted;
        int code;
    } cases[] = {
        {"2.5.29.35", 1},          {"2.5.29.14", 2},
        {"2.5.29.15", 3},          {"2.5.29.31", 4},
        {"1.3.6.1.5.5.7.1.1", 5},  {"2.5.29.32", 6},
        {"1.3.6.1.5.5.7.1.3", 7},  {"1.3.36.8.3.8", 10},
        {"1.3.36.8.3.15", 10},     {"2.5.29.17", 12},
        {"2.5.29.18", 13},         {"1.3.6.1.5.5.7.48.1.5", 16},
        {"2.16.840.1.113730.1.2", 17}, {"2.16.840.1.113730.1.8", 18},
        {"2.5.29.37", 19},         {"1.3.36.8.3.3", 20},
        {"1.3.36.8.3.6", 21},      {"2.5.29.19", 0},
        {"2.5.29.3", 0},           {"2.5.29.355", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyExtensionOid(c.dotted), c.code) << c.dotted;
    EXPECT_EQ(ClassifyExtensionOid(nullptr), 0);
}
