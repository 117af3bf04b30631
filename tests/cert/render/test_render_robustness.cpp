// Every renderer on its common input and on damaged, hostile and oversized
// input, one representative per rule (arbitrary octets are left to
// fuzz/fuzz_renderers.cpp); the result buffers (one per renderer, cleared
// at each call, cut at 2047 characters) and the logging.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "src/frame/Logging.h"
#include "tests/cert/render/RenderCorpus.h"
#include "tests/support/LogCapture.h"

using namespace kivo::test::render;

namespace {

// `inner` wrapped `depth` times in elements with `identifier`.
Bytes nested(unsigned char identifier, const Bytes& inner, int depth) {
    std::vector<Bytes> headers;
    std::size_t size = inner.size();
    for (int i = 0; i < depth; ++i) {
        headers.push_back(kivo::test::derHeader(identifier, size));
        size += headers.back().size();
    }
    Bytes out;
    for (auto it = headers.rbegin(); it != headers.rend(); ++it) out.insert(out.end(), it->begin(), it->end());
    return cat({out, inner});
}

}  // namespace

TEST(RenderSamples, EachRendererOnItsSampleWholeCutAndWithTrailingOctets) {
    // A cut value's outermost element no longer fits in the octets given;
    // octets after the element are not read.
    const Bytes tail = {0x30, 0x03, 0x06, 0x01, 0x2A, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const Sample& sample : renderSamples()) {
        SCOPED_TRACE(sample.name);
        ASSERT_FALSE(sample.bytes.empty());
        EXPECT_EQ(render(sample.renderer, sample.bytes), sample.expected);
        EXPECT_EQ(render(sample.renderer, cat({sample.bytes, tail})), sample.expected);
        EXPECT_EQ(render(sample.renderer, Bytes(sample.bytes.begin(), sample.bytes.end() - 1)), "");
    }
}

TEST(RenderMalformed, HostileStructureRendersEmptyInEveryRenderer) {
    const Bytes deep = nested(0x30, tlv(0x86, std::string_view("http://deep.example")), 20000);
    const std::pair<Bytes, const char*> inputs[] = {
        {{}, "empty"},
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00}, "length far beyond the input"},
        {{0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00, 0x30}, "five length octets"},
        {{0x04, 0x04, 0x30, 0x05, 0x06, 0x03}, "child longer than the parent"},
        {{0x04, 0x04, 0x30, 0x02, 0x1F, 0x81}, "high-tag-number identifier"},
        {{0x04, 0x80, 0x30, 0x80, 0x30, 0x80, 0x00, 0x00}, "indefinite, never closed"},
        {{0x31, 0x03, 0x0C, 0x05, 0x41}, "value past its SET"},
        {{0x01, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x00}, "critical flag beyond the input"},
    };
    for (const Renderer& renderer : allRenderers()) {
        EXPECT_STREQ(renderer(nullptr, 100), "");
        for (const auto& [input, what] : inputs) EXPECT_EQ(render(renderer, input), "") << what;
        // Nesting is walked without recursion.
        render(renderer, tlv(0x31, deep));
        render(renderer, extnValue(deep));
    }
    // The flat walk reaches the bottom; indefinite lengths are followed.
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(deep)), "URI={http://deep.example}");
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints,
                     {0x04, 0x0B, 0x30, 0x80, 0x30, 0x80, 0x86, 0x01, 0x41, 0x00, 0x00, 0x00, 0x00}),
              "URI={A}");
}

TEST(RenderBuffers, TextsAreCutAt2047AndTheBufferClearedAtEachCall) {
    std::string uris;
    Bytes points;
    for (int i = 0; i < 300; ++i) {
        const std::string one = "http://crl" + std::to_string(i) + ".example/ca.crl";
        points = cat({points, tlv(0x86, one)});
        uris += (i == 0 ? "URI={" : ", URI={") + one + "}";
    }
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(tlv(0x30, tlv(0x30, tlv(0xA0, tlv(0xA0, points)))))),
              uris.substr(0, 2047));
    ExactBuffer longValue(tlv(0x31, tlv(0x0C, std::string(4000, 'r'))));
    const char* first = CRestrictionSSL::getRestriction(longValue.data(), longValue.size());
    EXPECT_EQ(std::string(first), std::string(2047, 'r'));
    // A value of 5000 octets or more is refused by the DER text functions.
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, tlv(0x31, tlv(0x0C, std::string(6000, 'r')))), "");

    ExactBuffer shortValue(tlv(0x0C, std::string_view("kurz")));
    EXPECT_EQ(CRestrictionSSL::getRestriction(shortValue.data(), shortValue.size()), first);
    EXPECT_STREQ(first, "kurz");
    EXPECT_EQ(first[5], '\0') << "the rest of the buffer is cleared";
    // Another renderer writes into a buffer of its own.
    render(CRestrictionSSL::getRestrictionAdditional, tlv(0x31, tlv(0x0C, std::string_view("anders"))));
    EXPECT_STREQ(first, "kurz");
}

TEST(RenderLogging, EntryAndExitAtDebugInTheRenderer) {
    kivo::test::LogCapture capture(kivo::loggers::extension);
    EXPECT_EQ(render(CExtensionSSL::getKeyUsage, extnValue(tlv(0x03, Bytes{0x06, 0xC0}), true)), "C0");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "entering getKeyUsage");
    EXPECT_EQ(events[1].message, "leaving getKeyUsage: C0");
    for (const auto& event : events) {
        EXPECT_EQ(event.level, "DEBUG");
        EXPECT_EQ(event.logger, "KivoCryptoSSL::CExtensionSSL");
        EXPECT_EQ(event.className, "CExtensionSSL");
        EXPECT_NE(event.fileName.find("ExtensionSSL.cpp"), std::string::npos);
    }
}
