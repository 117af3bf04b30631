// CSHA, CMD5 and CRIPEMD against published vectors and OpenSSL; SHA on the accelerated and the portable path.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <random>
#include <tuple>

#include "digest/DigestInfo.h"
#include "digest/Md5.h"
#include "digest/Ripemd.h"
#include "digest/Sha.h"
#include "digest/ShaHardware.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace kivo::test;

std::string Finish(IMessageDigest& md) {
    Bytes out(md.DigestLength());
    md.Final(out.data());
    return toHex(out);
}

// Digest of `data` fed in pieces of `piece` octets (0: in one Update).
std::string Digest(IMessageDigest& md, const Bytes& data, std::size_t piece = 0) {
    md.Reset();
    std::size_t at = 0;
    do {
        const std::size_t take = piece == 0 ? data.size() : std::min(piece, data.size() - at);
        md.Update(data.data() + at, static_cast<std::uint32_t>(take));
        at += take;
    } while (at < data.size());
    return Finish(md);
}

std::unique_ptr<IMessageDigest> CopyOf(const IMessageDigest& md) {
    if (const auto* sha = dynamic_cast<const CSHA*>(&md)) return std::make_unique<CSHA>(*sha);
    if (const auto* md5 = dynamic_cast<const CMD5*>(&md)) return std::make_unique<CMD5>(*md5);
    return std::make_unique<CRIPEMD>(dynamic_cast<const CRIPEMD&>(md));
}

struct Algorithm {
    const char* name;  // as in kPublished and OpenSSL
    std::function<IMessageDigest*()> make;
    std::string label{};  // the SHA path, "Hardware" or "Portable", or "Fallback" for an out-of-range variant
};

// Out-of-range variants fall back to SHA-1 and RIPEMD-160.
std::vector<Algorithm> Algorithms() {
    std::vector<Algorithm> all = {{"MD5", [] { return new CMD5(); }},
                                  {"RIPEMD128", [] { return new CRIPEMD(0); }},
                                  {"RIPEMD160", [] { return new CRIPEMD(1); }},
                                  {"RIPEMD160", [] { return new CRIPEMD(7); }, "Fallback"},
                                  {"SHA1", [] { return new CSHA(4); }, "Fallback"}};
    for (const char* path : {"Hardware", "Portable"}) {
        for (int variant = 0; variant < 4; ++variant) {
            all.push_back({std::array{"SHA1", "SHA256", "SHA384", "SHA512"}[variant], [variant] { return new CSHA(variant); }, path});
        }
    }
    return all;
}

// Selects the parameter's SHA path for the test and restores the previous choice.
class DigestTest : public ::testing::TestWithParam<Algorithm> {
protected:
    void SetUp() override {
        if (GetParam().label != "Hardware" && GetParam().label != "Portable") return;
        const bool wanted = GetParam().label == "Hardware";
        kivo::SetShaHardwareAllowed(wanted);
        // SHA extensions for SHA-1/SHA-256, the AVX schedule with BMI2 rounds for SHA-384/512.
        const auto bit = Make()->BlockLength() == 64 ? kivo::sha_detail::kPathShaExtensions : kivo::sha_detail::kPathSha512Vector;
        if (wanted && (kivo::sha_detail::ActivePaths() & bit) == 0) GTEST_SKIP() << "no hardware path for " << GetParam().name;
        ASSERT_EQ((kivo::sha_detail::ActivePaths() & bit) != 0, wanted);
    }
    void TearDown() override { kivo::SetShaHardwareAllowed(m_saved); }
    std::unique_ptr<IMessageDigest> Make() const { return std::unique_ptr<IMessageDigest>(GetParam().make()); }
    std::string Fresh(const Bytes& data) const { return Digest(*Make(), data); }

    const bool m_saved = kivo::sha_detail::ActivePaths() != 0;
};

const std::string kEmpty, kA = "a", kAbc = "abc", kMessageDigest = "message digest", kMillionA(1000000, 'a');
const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
const std::string k448Bits = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896Bits =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

// FIPS 180 (SHA), RFC 1321 (MD5) and the RIPEMD authors' vectors: {algorithm, message, digest}.
const std::tuple<const char*, const std::string&, const char*> kPublished[] = {
    {"SHA1", kEmpty, "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"}, {"SHA1", kAbc, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"SHA1", k448Bits, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"}, {"SHA1", k896Bits, "A49B2446A02C645BF419F995B67091253A04A259"},
    {"SHA1", kMillionA, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    {"SHA256", kEmpty, "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    {"SHA256", kAbc, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
    {"SHA256", k448Bits, "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
    {"SHA256", k896Bits, "CF5B16A778AF8380036CE59E7B0492370B249B11E8F07A51AFAC45037AFEE9D1"},
    {"SHA256", kMillionA, "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
    {"SHA384", kEmpty, "38B060A751AC96384CD9327EB1B1E36A21FDB71114BE07434C0CC7BF63F6E1DA274EDEBFE76F65FBD51AD2F14898B95B"},
    {"SHA384", kAbc, "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAECA134C825A7"},
    {"SHA384", k448Bits, "3391FDDDFC8DC7393707A65B1B4709397CF8B1D162AF05ABFE8F450DE5F36BC6B0455A8520BC4E6F5FE95B1FE3C8452B"},
    {"SHA384", k896Bits, "09330C33F71147E83D192FC782CD1B4753111B173B3B05D22FA08086E3B0F712FCC7C71A557E2DB966C3E9FA91746039"},
    {"SHA384", kMillionA, "9D0E1809716474CB086E834E310A4A1CED149E9C00F248527972CEC5704C2A5B07B8B3DC38ECC4EBAE97DDD87F3D8985"},
    {"SHA512", kEmpty, "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81A538327AF927DA3E"},
    {"SHA512", kAbc, "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
    {"SHA512", k448Bits, "204A8FC6DDA82F0A0CED7BEB8E08A41657C16EF468B228A8279BE331A703C33596FD15C13B1B07F9AA1D3BEA57789CA031AD85C7A71DD70354EC631238CA3445"},
    {"SHA512", k896Bits, "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD26545E96E55B874BE909"},
    {"SHA512", kMillionA, "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EBDE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
    {"MD5", kEmpty, "D41D8CD98F00B204E9800998ECF8427E"}, {"MD5", kA, "0CC175B9C0F1B6A831C399E269772661"},
    {"MD5", kAbc, "900150983CD24FB0D6963F7D28E17F72"}, {"MD5", kMessageDigest, "F96B697D7CB7938D525A2F31AAF161D0"},
    {"MD5", kAlphabet, "C3FCD3D76192E4007DFB496CCA67E13B"}, {"MD5", kAlnum, "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"MD5", kDigits80, "57EDF4A22BE3C955AC49DA2E2107B67A"},
    {"RIPEMD128", kEmpty, "CDF26213A150DC3ECB610F18F6B38B46"}, {"RIPEMD128", kA, "86BE7AFA339D0FC7CFC785E72F578D33"},
    {"RIPEMD128", kAbc, "C14A12199C66E4BA84636B0F69144C77"}, {"RIPEMD128", kMessageDigest, "9E327B3D6E523062AFC1132D7DF9D1B8"},
    {"RIPEMD128", kAlphabet, "FD2AA607F71DC8F510714922B371834E"}, {"RIPEMD128", k448Bits, "A1AA0689D0FAFA2DDC22E88B49133A06"},
    {"RIPEMD128", kAlnum, "D1E959EB179C911FAEA4624C60C5C702"}, {"RIPEMD128", kDigits80, "3F45EF194732C2DBB2C4A2C769795FA3"},
    {"RIPEMD128", kMillionA, "4A7F5723F954EBA1216C9D8F6320431F"},
    {"RIPEMD160", kEmpty, "9C1185A5C5E9FC54612808977EE8F548B2258D31"}, {"RIPEMD160", kA, "0BDC9D2D256B3EE9DAAE347BE6F4DC835A467FFE"},
    {"RIPEMD160", kAbc, "8EB208F7E05D987A9B044A8E98C6B087F15A0BFC"}, {"RIPEMD160", kMessageDigest, "5D0689EF49D2FAE572B881B123A85FFA21595F36"},
    {"RIPEMD160", kAlphabet, "F71C27109C692C1B56BBDCEB5B9D2865B3708DBC"}, {"RIPEMD160", k448Bits, "12A053384A9C0C88E405A06C27DCF49ADA62EB2B"},
    {"RIPEMD160", kAlnum, "B0E20B6E3116640286ED3A87A5713079B21F5189"}, {"RIPEMD160", kDigits80, "9B752E45573D4B39F4DBD3323CAB82BF63326BFB"},
    {"RIPEMD160", kMillionA, "52783243C1697BDBE16D37F97F68F08325DC1528"},
};

TEST_P(DigestTest, PublishedVectors) {
    for (const auto& [algorithm, message, digest] : kPublished) {
        if (algorithm != std::string(GetParam().name)) continue;
        EXPECT_EQ(Fresh(Bytes(message.begin(), message.end())), digest) << message.size() << " octets";
    }
    EXPECT_EQ(Make()->BlockLength(), Make()->DigestLength() >= 48 ? 128u : 64u);
}

// Padding spill points (55/56, 111/112, 239/240 octets), whole blocks, random lengths; fed whole and in pieces.
TEST_P(DigestTest, AgreesWithOpenSslWholeAndInPieces) {
    auto md = Make();
    std::mt19937 rng(20240601);
    std::vector<std::size_t> lengths = {0,   1,   55,  56,  57,  63,  64,  65,  111, 112, 113, 119,
                                        120, 127, 128, 129, 191, 192, 239, 240, 255, 256, 257, 4097};
    for (int round = 0; round < 60; ++round) lengths.push_back(round % 3 == 0 ? rng() % 600 : rng() % 100001);
    for (const std::size_t length : lengths) {
        const Bytes message = randomBytes(length, static_cast<std::uint32_t>(length));
        const std::string whole = Digest(*md, message);
        SCOPED_TRACE("length " + std::to_string(length));
        if (std::string(GetParam().name) != "RIPEMD128") {  // OpenSSL has no RIPEMD-128
            ASSERT_EQ(whole, toHex(opensslDigest(GetParam().name, message.data(), length)));
        }
        for (const std::size_t piece : {length < 5000 ? 1ul : 2ul, 7ul, 63ul, 64ul, 65ul, 127ul, 128ul, 129ul, 200ul}) {
            ASSERT_EQ(Digest(*md, message, piece), whole) << piece;
        }
    }
}

// Reset and Final(nullptr) drop buffered octets, null input is ignored, a copy goes on alone, Final writes DigestLength().
TEST_P(DigestTest, ReuseResetCopyAndNullInput) {
    auto md = Make();
    const Bytes first = randomBytes(303, 5), second = randomBytes(77, 6);
    for (const auto reset : {+[](IMessageDigest& m) { m.Reset(); }, +[](IMessageDigest& m) { m.Final(nullptr); }}) {
        md->Update(first.data(), 150);
        reset(*md);
        md->Update(second.data(), 40);
        md->Update(nullptr, 1000);
        md->Transform(nullptr);
        md->Update(second.data() + 40, 37);
        EXPECT_EQ(Finish(*md), Fresh(second));
        EXPECT_EQ(Finish(*md), Fresh({})) << "Final resets";
    }
    md->Update(first.data(), 101);
    auto copy = CopyOf(*md);
    copy->Update(second.data(), 77);
    md->Update(first.data() + 101, 202);  // whole blocks read from an odd address
    Bytes joined(first.begin(), first.begin() + 101), out(md->DigestLength() + 1, 0xA5);
    joined.insert(joined.end(), second.begin(), second.end());
    md->Final(out.data());
    EXPECT_EQ(toHex(out), Fresh(first) + "A5");
    EXPECT_EQ(Finish(*copy), Fresh(joined));
}

INSTANTIATE_TEST_SUITE_P(Digests, DigestTest, ::testing::ValuesIn(Algorithms()), [](const auto& info) {
    return std::string(info.param.name) + (info.param.label.empty() ? "" : "_") + info.param.label;
});

// MD5 and RIPEMD-160 (little-endian padding) over 512 MiB + 100 octets: a bit count beyond 32 bits.
TEST(DigestLength, BitCountBeyond32Bits) {
    const Bytes chunk = randomBytes(1 << 20, 11);
    for (const auto& [made, name] : {std::pair<IMessageDigest*, const char*>{new CMD5(), "MD5"}, {new CRIPEMD(1), "RIPEMD160"}}) {
        std::unique_ptr<IMessageDigest> md(made);
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> reference(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        ASSERT_EQ(EVP_DigestInit_ex(reference.get(), EVP_get_digestbyname(name), nullptr), 1);
        for (int i = 0; i <= 512; ++i) {
            md->Update(chunk.data(), i < 512 ? 1u << 20 : 100u);
            EVP_DigestUpdate(reference.get(), chunk.data(), i < 512 ? 1u << 20 : 100u);
        }
        Bytes expected(md->DigestLength());
        EVP_DigestFinal_ex(reference.get(), expected.data(), nullptr);
        EXPECT_EQ(Finish(*md), toHex(expected)) << name;
    }
}

// RFC 8017's DigestInfo prefixes (9.2, note 1) and RIPEMD-160's; a length needing the long form is refused.
TEST(DigestInfo, PrefixesArePublishedOnes) {
    using kivo::DigestAlgorithm;
    const std::tuple<DigestAlgorithm, std::size_t, const char*> cases[] = {
        {DigestAlgorithm::Md5, 16, "3020300C06082A864886F70D020505000410"},
        {DigestAlgorithm::Sha1, 20, "3021300906052B0E03021A05000414"},
        {DigestAlgorithm::Ripemd160, 20, "3021300906052B2403020105000414"},
        {DigestAlgorithm::Sha256, 32, "3031300D060960864801650304020105000420"},
        {DigestAlgorithm::Sha384, 48, "3041300D060960864801650304020205000430"},
        {DigestAlgorithm::Sha512, 64, "3051300D060960864801650304020305000440"},
        {DigestAlgorithm::Sha512, 128, ""},
    };
    for (const auto& [algorithm, length, prefix] : cases) EXPECT_EQ(toHex(kivo::digestInfoPrefix(algorithm, length)), prefix) << prefix;
}

}  // namespace
