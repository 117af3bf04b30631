// CHashSSL and CCertHandler::HashBlob: both numberings, names, OIDs, result
// buffers and their per-thread ownership.

#include "tests/support/TestSupport.h"

#include "CertHandlerSSL.h"
#include "HashSSL.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using kivo::test::opensslDigest;
using kivo::test::randomBytes;
using kivo::test::toHex;

namespace {

struct Algorithm {
    int nameCode;
    int signingCode;
    const char* opensslName;
    std::size_t length;
    const char* displayName;
};

constexpr Algorithm kAlgorithms[] = {
    {1, 0, "SHA1", 20, "SHA1"},
    {2, 5, "RIPEMD160", 20, "RIPEMD160"},
    {3, 4, "MD5", 16, "MD5"},
    {4, 1, "SHA256", 32, "SHA256"},
    {5, 2, "SHA384", 48, "SHA384"},
    {6, 3, "SHA512", 64, "SHA512"},
};

unsigned char* bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

}  // namespace

TEST(HashService, PublishedVectors) {
    const struct {
        int code;
        const char* message;
        const char* digest;
    } cases[] = {
        {1, "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {2, "abc", "8EB208F7E05D987A9B044A8E98C6B087F15A0BFC"},
        {3, "abc", "900150983CD24FB0D6963F7D28E17F72"},
        {4, "", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    };
    for (const auto& c : cases) {
        std::string text = c.message;
        EXPECT_STREQ(CHashSSL::calculateHash(bytes(text), text.size(), c.code), c.digest) << c.code;
    }
    // A null pointer is fine when there is nothing to read.
    EXPECT_STREQ(CHashSSL::calculateHash(nullptr, 0, 4), cases[3].digest);
}

TEST(HashService, BothNumberingsAgreeWithOpenSSL) {
    const auto input = randomBytes(1000, 7);
    auto* data = const_cast<unsigned char*>(input.data());
    for (const Algorithm& algorithm : kAlgorithms) {
        SCOPED_TRACE(algorithm.opensslName);
        const auto expected = opensslDigest(algorithm.opensslName, input.data(), input.size());
        ASSERT_EQ(expected.size(), algorithm.length);

        // The name numbering: hex text and binary in a 128-octet buffer
        // whose rest stays zero.
        const char* hex = CHashSSL::calculateHash(data, input.size(), algorithm.nameCode);
        EXPECT_EQ(std::string(hex), toHex(expected));
        unsigned long length = 0;
        const unsigned char* binary = CHashSSL::calculateHashBin(data, input.size(), algorithm.nameCode, &length);
        ASSERT_EQ(length, algorithm.length);
        EXPECT_EQ(toHex(binary, length), toHex(expected));
        EXPECT_TRUE(std::all_of(binary + length, binary + 128, [](unsigned char b) { return b == 0; }));

        // The signing numbering, in both classes: nothing past the digest.
        for (const auto hashBlob : {&CHashSSL::HashBlob, &CCertHandler::HashBlob}) {
            std::array<unsigned char, 80> out;
            out.fill(0xEE);
            int outLength = -1;
            EXPECT_EQ(hashBlob(data, input.size(), algorithm.signingCode, out.data(), &outLength), 0);
            ASSERT_EQ(outLength, static_cast<int>(algorithm.length));
            EXPECT_EQ(toHex(out.data(), algorithm.length), toHex(expected));
            EXPECT_EQ(out[algorithm.length], 0xEE) << "wrote past the digest";
        }
    }
}

TEST(HashService, UnknownNameCodes) {
    std::string abc = "abc";
    for (int code : {0, 7, -1, 100}) {
        SCOPED_TRACE(code);
        CHashSSL::calculateHash(bytes(abc), 3, 1);  // leave something in the buffer
        EXPECT_STREQ(CHashSSL::calculateHash(bytes(abc), 3, code), "");

        unsigned long length = 12345;
        CHashSSL::calculateHashBin(bytes(abc), 3, 6, &length);
        length = 12345;
        const unsigned char* binary = CHashSSL::calculateHashBin(bytes(abc), 3, code, &length);
        EXPECT_EQ(length, 12345u) << "length must be left alone";
        EXPECT_TRUE(std::all_of(binary, binary + 128, [](unsigned char b) { return b == 0; }));
    }
}

TEST(HashService, NullDataWithLengthIsRefused) {
    EXPECT_STREQ(CHashSSL::calculateHash(nullptr, 10, 4), "");
    unsigned long length = 99;
    CHashSSL::calculateHashBin(nullptr, 10, 4, &length);
    EXPECT_EQ(length, 99u);
    // A null length pointer only loses the length.
    std::string abc = "abc";
    const unsigned char* binary = CHashSSL::calculateHashBin(bytes(abc), 3, 1, nullptr);
    EXPECT_EQ(binary[0], 0xA9);
}

TEST(HashService, NextCallOverwritesTheResult) {
    std::string abc = "abc";
    std::string other = "abd";
    const char* first = CHashSSL::calculateHash(bytes(abc), 3, 1);
    const std::string firstText = first;
    const char* second = CHashSSL::calculateHash(bytes(other), 3, 1);
    EXPECT_EQ(first, second) << "one buffer per thread";
    EXPECT_NE(std::string(first), firstText);

    unsigned long length = 0;
    const unsigned char* firstBinary = CHashSSL::calculateHashBin(bytes(abc), 3, 4, &length);
    const unsigned char* secondBinary = CHashSSL::calculateHashBin(bytes(abc), 3, 3, &length);
    EXPECT_EQ(firstBinary, secondBinary);
    EXPECT_EQ(length, 16u);
    // The SHA-256 bytes past the MD5 digest were cleared.
    EXPECT_TRUE(std::all_of(secondBinary + 16, secondBinary + 32, [](unsigned char b) { return b == 0; }));
}

TEST(HashService, ThreadsHashingAtOnceGetTheirOwnResults) {
    const auto inputA = randomBytes(5000, 1);
    const auto inputB = randomBytes(7000, 2);
    const std::string expectedA = toHex(opensslDigest("SHA256", inputA.data(), inputA.size()));
    const std::string expectedB = toHex(opensslDigest("SHA512", inputB.data(), inputB.size()));

    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    auto worker = [&](const std::vector<unsigned char>& input, int code, const std::string& expected) {
        while (!go) std::this_thread::yield();
        for (int round = 0; round < 300; ++round) {
            auto* data = const_cast<unsigned char*>(input.data());
            const char* hex = CHashSSL::calculateHash(data, input.size(), code);
            if (expected != hex) ++mismatches;
            unsigned long length = 0;
            const unsigned char* binary = CHashSSL::calculateHashBin(data, input.size(), code, &length);
            if (toHex(binary, length) != expected) ++mismatches;
        }
    };
    std::thread a(worker, std::cref(inputA), 4, std::cref(expectedA));
    std::thread b(worker, std::cref(inputB), 6, std::cref(expectedB));
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(HashService, HashAlgoFromOid) {
    const std::pair<const char*, int> table[] = {
        {"1.2.840.113549.1.1.5", 1},  {"1.2.840.113549.1.1.11", 4}, {"1.2.840.113549.1.1.12", 5},
        {"1.2.840.113549.1.1.13", 6}, {"1.3.36.3.3.1.2", 2},        {"1.2.840.113549.2.5", 3},
        {"1.2.840.113549.1.1.4", 3},  {"1.3.14.3.2.26", 1},         {"2.16.840.1.101.3.4.2.1", 4},
        {"2.16.840.1.101.3.4.2.2", 5}, {"2.16.840.1.101.3.4.2.3", 6}, {"1.3.36.3.2.1", 2},
    };
    for (const auto& [oid, code] : table) {
        std::string text = oid;
        EXPECT_EQ(CHashSSL::getHashAlgo(text.data()), code) << oid;
    }
    for (std::string text : {"1.2.840.113549.1.1.1", "1.2.840.113549.1.1.111", "1.2.840.113549.1.1.1 ",
                             " 1.3.14.3.2.26", "", "sha256", "2.16.840.1.101.3.4.2.4"}) {
        EXPECT_EQ(CHashSSL::getHashAlgo(text.data()), 0) << "'" << text << "'";
    }
    EXPECT_EQ(CHashSSL::getHashAlgo(nullptr), 0);
}

TEST(HashService, HashAlgoNames) {
    for (const Algorithm& algorithm : kAlgorithms) {
        EXPECT_STREQ(CHashSSL::getHashAlgoName(algorithm.nameCode), algorithm.displayName);
    }
    EXPECT_STREQ(CHashSSL::getHashAlgoName(0), "UKNOWN");
    EXPECT_STREQ(CHashSSL::getHashAlgoName(9), "UNKNOWN");
    EXPECT_STREQ(CHashSSL::getHashAlgoName(-1), "UNKNOWN");
    EXPECT_STREQ(CHashSSL::getHashAlgoName(7), "UNKNOWN");
}

TEST(HashService, HashBlobWithUnknownCodeWritesNothing) {
    std::string abc = "abc";
    for (int code : {6, 7, -1, 1000}) {
        std::array<unsigned char, 64> out;
        out.fill(0x5A);
        int outLength = 77;
        EXPECT_EQ(CHashSSL::HashBlob(bytes(abc), 3, code, out.data(), &outLength), 0) << code;
        EXPECT_EQ(outLength, 77);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](unsigned char b) { return b == 0x5A; }));
    }
    // Missing output pointers or data are refused the same way.
    int outLength = 77;
    unsigned char out[64];
    EXPECT_EQ(CHashSSL::HashBlob(bytes(abc), 3, 0, nullptr, &outLength), 0);
    EXPECT_EQ(CHashSSL::HashBlob(bytes(abc), 3, 0, out, nullptr), 0);
    EXPECT_EQ(CHashSSL::HashBlob(nullptr, 3, 0, out, &outLength), 0);
    EXPECT_EQ(outLength, 77);
}
