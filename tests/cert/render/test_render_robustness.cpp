// Every renderer on damaged, hostile and oversized input, one representative
// per rule (arbitrary octets are left to fuzz/fuzz_renderers.cpp): inputs
// are exact-size heap copies, so that the address sanitizer reports any
// read past them; the results must be zero-terminated within the
// 2048-octet buffers.
// Also the buffers themselves (one per renderer and thread, cleared at each
// call) and the logging of CExtensionSSL.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/cert/render/RenderCorpus.h"
#include "src/frame/Logging.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::render;

namespace {

constexpr std::size_t kBufferSize = 2048;

// Runs `renderer` on an exact copy of `bytes` and checks the result is a
// text that ends inside the buffer.
std::string renderChecked(const NamedRenderer& renderer, const Bytes& bytes) {
    ExactBuffer input(bytes);
    const char* text = renderer.function(input.data(), input.size());
    EXPECT_NE(text, nullptr) << renderer.name;
    if (text == nullptr) return {};
    const std::size_t length = strnlen(text, kBufferSize);
    EXPECT_LT(length, kBufferSize) << renderer.name << " on " << hexOf(bytes);
    return std::string(text, length);
}

const NamedRenderer& rendererNamed(const std::vector<NamedRenderer>& renderers, const std::string& name) {
    for (const NamedRenderer& r : renderers) {
        if (name == r.name) return r;
    }
    throw std::runtime_error("no renderer " + name);
}

// `inner` wrapped `depth` times in elements with `identifier`; the headers
// are worked out from the inside and joined once.
Bytes nested(unsigned char identifier, const Bytes& inner, int depth) {
    std::vector<Bytes> headers;
    std::size_t size = inner.size();
    for (int i = 0; i < depth; ++i) {
        headers.push_back(header(identifier, size));
        size += headers.back().size();
    }
    Bytes out;
    out.reserve(size);
    for (auto it = headers.rbegin(); it != headers.rend(); ++it) out.insert(out.end(), it->begin(), it->end());
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

}  // namespace

// ---- the corpus itself -------------------------------------------------------

TEST(ExtensionRenderMalformed, CorpusSamplesRenderAsExpected) {
    const auto renderers = allRenderers();
    for (const Sample& sample : renderSamples()) {
        ASSERT_FALSE(sample.bytes.empty()) << sample.name;
        EXPECT_TRUE(opensslParses(sample.bytes) ||
                    (sample.bytes[0] == 0x01 && opensslParses(Bytes(sample.bytes.begin() + 3, sample.bytes.end()))))
            << sample.name;
        EXPECT_EQ(renderChecked(rendererNamed(renderers, sample.renderer), sample.bytes), sample.expected)
            << sample.name;
    }
}

// ---- truncation, trailing octets, damaged octets -------------------------------

TEST(ExtensionRenderMalformed, EveryCutOfEveryValueRendersEmpty) {
    // A cut value's outermost element no longer fits in the octets given.
    const auto renderers = allRenderers();
    for (const Sample& sample : renderSamples()) {
        for (std::size_t cut = 0; cut < sample.bytes.size(); ++cut) {
            const Bytes prefix(sample.bytes.begin(), sample.bytes.begin() + static_cast<long>(cut));
            for (const NamedRenderer& renderer : renderers) {
                EXPECT_EQ(renderChecked(renderer, prefix), "")
                    << renderer.name << " on " << sample.name << " cut at " << cut;
            }
        }
    }
}

TEST(ExtensionRenderMalformed, OctetsAfterTheElementAreNotRead) {
    // More readable octets than the element needs change nothing: the walk
    // follows the DER lengths.
    const auto renderers = allRenderers();
    const Bytes tail = {0x30, 0x03, 0x06, 0x01, 0x2A, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const Sample& sample : renderSamples()) {
        for (const NamedRenderer& renderer : renderers) {
            const std::string exact = renderChecked(renderer, sample.bytes);
            EXPECT_EQ(renderChecked(renderer, cat({sample.bytes, tail})), exact)
                << renderer.name << " on " << sample.name;
        }
    }
}

TEST(ExtensionRenderMalformed, NullAndEmptyInputRenderEmpty) {
    for (const NamedRenderer& renderer : allRenderers()) {
        const char* text = renderer.function(nullptr, 100);
        ASSERT_NE(text, nullptr) << renderer.name;
        EXPECT_STREQ(text, "") << renderer.name;
        unsigned char one = 0x30;
        EXPECT_STREQ(renderer.function(&one, 0), "") << renderer.name;
        EXPECT_EQ(renderChecked(renderer, Bytes{0x30}), "") << renderer.name;
    }
}

// ---- hostile structure ------------------------------------------------------

TEST(ExtensionRenderMalformed, DeepNestingIsWalkedWithoutRecursion) {
    // 20000 nested SEQUENCEs (and [0] wrappers, which the distribution point
    // walk steps into) around a URI.
    const Bytes inner = tlv(0x86, std::string_view("http://deep.example"));
    const Bytes sequences = nested(0x30, inner, 20000);
    const Bytes contexts = nested(0xA0, inner, 20000);
    ASSERT_TRUE(opensslParses(sequences));
    const auto renderers = allRenderers();
    for (const Bytes* nested : {&sequences, &contexts}) {
        for (const NamedRenderer& renderer : renderers) {
            renderChecked(renderer, extnValue(*nested));
            renderChecked(renderer, tlv(0x31, *nested));
        }
    }
    // The flat walk reaches the URI at the bottom.
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "getCRLDistrbutionPoints"), extnValue(sequences)),
              "URI={http://deep.example}");
}

TEST(ExtensionRenderMalformed, HugeAndInconsistentLengthsRenderEmpty) {
    const std::pair<Bytes, const char*> inputs[] = {
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00}, "length far beyond the input"},
        {{0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00, 0x30}, "five length octets"},
        {{0x04, 0x06, 0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, "inner length beyond the input"},
        {{0x04, 0x04, 0x30, 0x05, 0x06, 0x03}, "child longer than the parent"},
        {{0x04, 0x05, 0x30, 0x03, 0x30, 0x03, 0x06}, "grandchild longer than the child"},
        {{0x04, 0x04, 0x30, 0x02, 0x1F, 0x81}, "high-tag-number identifier"},
        {{0x04, 0x80, 0x30, 0x80, 0x30, 0x80, 0x00, 0x00}, "indefinite, never closed"},
        {{0x31, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x0C, 0x01, 0x41}, "values SET beyond the input"},
        {{0x31, 0x03, 0x0C, 0x05, 0x41}, "value past its SET"},
        {{0x01, 0x01, 0xFF, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, "extnValue beyond the input after the flag"},
        {{0x01, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x00}, "critical flag beyond the input"},
    };
    for (const auto& [input, what] : inputs) {
        for (const NamedRenderer& renderer : allRenderers()) {
            EXPECT_EQ(renderChecked(renderer, input), "") << renderer.name << ": " << what;
        }
    }
}

TEST(ExtensionRenderMalformed, IndefiniteLengthsAreFollowed) {
    // BER indefinite lengths inside extnValue are walked to their end marks.
    const auto renderers = allRenderers();
    const Bytes value = {0x04, 0x0B, 0x30, 0x80, 0x30, 0x80, 0x86, 0x01, 0x41, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "getCRLDistrbutionPoints"), value), "URI={A}");
}

// ---- long texts are cut at the buffer --------------------------------------------

TEST(ExtensionRenderMalformed, LongTextsAreCutAt2047) {
    // Both classes build their texts with the same bounded writer: one long
    // value and many items of each class.
    const auto renderers = allRenderers();
    const std::string uri = "http://ocsp.example/" + std::string(3000, 'u');
    const Bytes access = tlv(0x30, tlv(0x30, cat({generate("OID:1.3.6.1.5.5.7.48.1"), tlv(0x86, uri)})));
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "getAuthorityInfoAccess"), extnValue(access)),
              ("URI={1.3.6.1.5.5.7.48.1=" + uri + "}").substr(0, 2047));

    // 300 URIs in one distribution point.
    Bytes uris;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string one = "http://crl" + std::to_string(i) + ".example/ca.crl";
        uris = cat({uris, tlv(0x86, one)});
        expected += (i == 0 ? "URI={" : ", URI={") + one + "}";
    }
    const Bytes points = tlv(0x30, tlv(0x30, tlv(0xA0, tlv(0xA0, uris))));
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "getCRLDistrbutionPoints"), extnValue(points)),
              expected.substr(0, 2047));

    const std::string text(4000, 'r');
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "CRestrictionSSL::getRestriction"), tlv(0x31, tlv(0x0C, text))),
              text.substr(0, 2047));

    // 200 subject directory attributes.
    Bytes attributes;
    std::string identityExpected;
    for (int i = 0; i < 200; ++i) {
        const std::string place = "Ort" + std::to_string(i);
        attributes = cat({attributes, tlv(0x30, cat({generate("OID:1.3.6.1.5.5.7.9.2"), tlv(0x31, tlv(0x0C, place))}))});
        identityExpected += (i == 0 ? "placeOfBirth=" : ", placeOfBirth=") + place;
    }
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "getRestrictionIdentity"), tlv(0x31, tlv(0x30, attributes))),
              identityExpected.substr(0, 2047));
}

TEST(ExtensionRenderMalformed, ValueBeyondTheToolkitsTextBufferShowsNothing) {
    // The DER text functions refuse a value of 5000 octets or more rather
    // than shorten it, so such a value contributes no text.
    const std::string text(6000, 'r');
    const auto renderers = allRenderers();
    EXPECT_EQ(renderChecked(rendererNamed(renderers, "CRestrictionSSL::getRestriction"),
                            tlv(0x31, tlv(0x0C, text))),
              "");
}

// ---- result buffers ---------------------------------------------------------------

TEST(ExtensionRenderBuffers, EachRendererHasItsOwnBufferClearedAtEachCall) {
    const auto renderers = allRenderers();
    const auto samples = renderSamples();
    // Render every sample with its renderer, then check the last text of
    // each renderer again: no renderer wrote into another's buffer.
    std::map<std::string, std::pair<const char*, std::string>> latest;
    for (const Sample& sample : samples) {
        ExactBuffer input(sample.bytes);
        const NamedRenderer& renderer = rendererNamed(renderers, sample.renderer);
        latest[sample.renderer] = {renderer.function(input.data(), input.size()), sample.expected};
    }
    ASSERT_GE(latest.size(), 20u);
    for (const auto& [name, result] : latest) EXPECT_STREQ(result.first, result.second.c_str()) << name;

    // A long text, then a short one and a mismatch: each time only the new text.
    const NamedRenderer& restriction = rendererNamed(renderers, "CRestrictionSSL::getRestriction");
    ExactBuffer longValue(tlv(0x0C, std::string(3000, 'l')));
    const char* first = restriction.function(longValue.data(), longValue.size());
    EXPECT_EQ(std::strlen(first), 2047u);
    ExactBuffer shortValue(tlv(0x0C, std::string_view("kurz")));
    EXPECT_EQ(restriction.function(shortValue.data(), shortValue.size()), first);
    EXPECT_STREQ(first, "kurz");
    EXPECT_EQ(first[5], '\0') << "the rest of the buffer is cleared";
    ExactBuffer mismatch(tlv(0x02, Bytes{0x01}));
    EXPECT_STREQ(restriction.function(mismatch.data(), mismatch.size()), "");
}

TEST(ExtensionRenderBuffers, EachThreadHasItsOwnBuffers) {
    const Bytes a = extnValue(tlv(0x03, Bytes{0x07, 0x80}));
    const Bytes b = extnValue(tlv(0x03, Bytes{0x01, 0x06}));
    auto work = [](const Bytes& value, const char* expected, const char** pointer, int* failures) {
        ExactBuffer input(value);
        for (int i = 0; i < 2000; ++i) {
            const char* text = CExtensionSSL::getKeyUsage(input.data(), input.size());
            if (std::strcmp(text, expected) != 0) ++*failures;
            *pointer = text;
        }
    };
    const char* pointerA = nullptr;
    const char* pointerB = nullptr;
    int failuresA = 0;
    int failuresB = 0;
    std::thread first(work, std::cref(a), "80", &pointerA, &failuresA);
    std::thread second(work, std::cref(b), "06", &pointerB, &failuresB);
    first.join();
    second.join();
    EXPECT_EQ(failuresA, 0);
    EXPECT_EQ(failuresB, 0);
    EXPECT_NE(pointerA, pointerB);
}

// ---- logging ----------------------------------------------------------------------

TEST(ExtensionRenderLogging, EntryAndExitAtDebugInTheRenderer) {
    kivo::test::LogCapture capture(kivo::loggers::extension);
    ExactBuffer input(extnValue(tlv(0x03, Bytes{0x06, 0xC0}), true));
    EXPECT_STREQ(CExtensionSSL::getKeyUsage(input.data(), input.size()), "C0");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "entering getKeyUsage");
    EXPECT_EQ(events[1].message, "leaving getKeyUsage: C0");
    for (const auto& event : events) {
        EXPECT_EQ(event.level, "DEBUG");
        EXPECT_EQ(event.logger, "KivoCryptoSSL::CExtensionSSL");
        EXPECT_EQ(event.method, "getKeyUsage");
        EXPECT_EQ(event.className, "CExtensionSSL");
        EXPECT_NE(event.fileName.find("ExtensionSSL.cpp"), std::string::npos);
    }
}
