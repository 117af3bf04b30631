// CCms and CCmsDataContent: owned copies, the content-type element located
// in the message, deep copies and assignment (AddressSanitizer builds catch
// double frees and leaks), and the logging of the life cycle.

#include "tests/support/ContainerTestUtil.h"

#include "CmsSSL.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::LogCapture;

namespace {

const Bytes kSignedDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

Bytes message() {
    static const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::EcP256), {});
    return der;
}

Bytes contentOf(const CCmsDataContent* content) {
    if (content == nullptr || content->getPbCmsData() == nullptr) return {};
    return Bytes(content->getPbCmsData(), content->getPbCmsData() + content->getCbCmsData());
}

Bytes bytesOf(const CCms& cms) {
    if (cms.getPbCms() == nullptr) return {};
    return Bytes(cms.getPbCms(), cms.getPbCms() + cms.getCbCms());
}

std::size_t count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(CmsWrapper, SignedDataMessageGivesItsContentTypeElement) {
    Bytes der = message();
    kivo::test::cms::HeapCopy copy(der);
    CCms cms(mutableData(copy), static_cast<unsigned int>(der.size()));
    EXPECT_EQ(cms.getError(), 0);
    EXPECT_EQ(bytesOf(cms), der);
    EXPECT_NE(cms.getPbCms(), copy.data()) << "the message is copied";
    ASSERT_NE(cms.getDataContent(), nullptr);
    EXPECT_EQ(contentOf(cms.getDataContent()), kSignedDataOid);
    EXPECT_EQ(cms.getDataContent()->getError(), 0);
    EXPECT_EQ(cms.getDataContentType(), 0);
}

TEST(CmsWrapper, OtherMessagesAndContentTypes) {
    // Any ContentInfo: the first child OID, whatever it names.
    const Bytes token = timeStampToken(Bytes{'t'});
    kivo::test::cms::HeapCopy tokenCopy(token);
    CCms tokenCms(mutableData(tokenCopy), static_cast<unsigned int>(token.size()));
    EXPECT_EQ(tokenCms.getError(), 0);
    EXPECT_EQ(contentOf(tokenCms.getDataContent()), kSignedDataOid);

    const Bytes data = kivo::test::cms::tlv(
        0x30, kivo::test::cms::join({kivo::test::cms::oidElement("1.2.840.113549.1.7.1"),
                                     kivo::test::cms::tlv(0xA0, kivo::test::cms::tlv(0x04, Bytes{1, 2, 3}))}));
    kivo::test::cms::HeapCopy dataCopy(data);
    CCms dataCms(mutableData(dataCopy), static_cast<unsigned int>(data.size()));
    EXPECT_EQ(dataCms.getError(), 0);
    EXPECT_EQ(contentOf(dataCms.getDataContent()), kivo::test::cms::oidElement("1.2.840.113549.1.7.1"));
}

TEST(CmsWrapper, UnreadableMessagesGiveError1000AndNoContent) {
    const Bytes der = message();
    const std::pair<Bytes, const char*> cases[] = {
        {Bytes{0x04, 0x03, 0x06, 0x01, 0x00}, "not a SEQUENCE"},
        {Bytes{0x30, 0x03, 0x02, 0x01, 0x05}, "first child an INTEGER"},
        {Bytes{0x30, 0x00}, "empty SEQUENCE"},
        {Bytes{0x30, 0x05, 0x06, 0x03, 0x2A}, "truncated OID"},
        {Bytes{0x30, 0x82, 0x01}, "truncated header"},
        {Bytes(der.begin(), der.end() - 1), "a message one octet short"},
        {Bytes{0x30, 0x03, 0x26, 0x01, 0x2A}, "constructed identifier 26"},
        {Bytes{0x31, 0x03, 0x06, 0x01, 0x2A}, "a SET"},
    };
    for (const auto& [bytes, what] : cases) {
        kivo::test::cms::HeapCopy copy(bytes);
        CCms cms(mutableData(copy), static_cast<unsigned int>(bytes.size()));
        EXPECT_EQ(cms.getError(), 1000) << what;
        EXPECT_EQ(cms.getDataContent(), nullptr) << what;
        EXPECT_EQ(bytesOf(cms), bytes) << what;
    }
    CCms none(nullptr, 10);
    EXPECT_EQ(none.getError(), 1000);
    EXPECT_EQ(none.getDataContent(), nullptr);
    EXPECT_EQ(none.getPbCms(), nullptr);
    CCms empty(const_cast<unsigned char*>(der.data()), 0);
    EXPECT_EQ(empty.getError(), 1000);
}

TEST(CmsWrapper, CopiesAreDeepAndIndependent) {
    Bytes der = message();
    auto original = std::make_unique<CCms>(der.data(), static_cast<unsigned int>(der.size()));
    original->setDataContentType(22);

    CCms copied(*original);
    CCms fromPointer(original.get());
    CCms assigned(nullptr, 0);
    assigned = *original;
    for (const CCms* copy : {&copied, &fromPointer, &assigned}) {
        EXPECT_EQ(bytesOf(*copy), der);
        EXPECT_NE(copy->getPbCms(), original->getPbCms());
        EXPECT_EQ(copy->getError(), 0);
        EXPECT_EQ(copy->getDataContentType(), 22);
        ASSERT_NE(copy->getDataContent(), nullptr);
        EXPECT_NE(copy->getDataContent(), original->getDataContent());
        EXPECT_NE(copy->getDataContent()->getPbCmsData(), original->getDataContent()->getPbCmsData());
        EXPECT_EQ(contentOf(copy->getDataContent()), kSignedDataOid);
    }
    // The copies outlive the original.
    original.reset();
    EXPECT_EQ(bytesOf(copied), der);
    EXPECT_EQ(contentOf(assigned.getDataContent()), kSignedDataOid);

    // Assignment over an object with content, self-assignment, error copied.
    Bytes bad = {0x02, 0x01, 0x00};
    CCms unreadable(bad.data(), 3);
    assigned = unreadable;
    EXPECT_EQ(assigned.getError(), 1000);
    EXPECT_EQ(assigned.getDataContent(), nullptr);
    EXPECT_EQ(bytesOf(assigned), bad);
    CCms& self = copied;
    copied = self;
    EXPECT_EQ(bytesOf(copied), der);
    EXPECT_EQ(contentOf(copied.getDataContent()), kSignedDataOid);

    CCms fromNull(static_cast<CCms*>(nullptr));
    EXPECT_EQ(fromNull.getPbCms(), nullptr);
    EXPECT_EQ(fromNull.getDataContent(), nullptr);
}

TEST(CmsWrapper, SetDataContentDeletesThePreviousOne) {
    Bytes der = message();
    CCms cms(der.data(), static_cast<unsigned int>(der.size()));
    LogCapture contentLog(CCmsDataContent::m_logger);
    Bytes replacement = {0x06, 0x03, 0x2A, 0x03, 0x04};
    auto* next = new CCmsDataContent(replacement.data(), static_cast<unsigned int>(replacement.size()));
    contentLog.clear();
    cms.setDataContent(next);
    EXPECT_EQ(count(contentLog.messages(), "entering d'tor"), 1u);
    EXPECT_EQ(cms.getDataContent(), next);
    EXPECT_EQ(contentOf(cms.getDataContent()), replacement);

    // The same object again: kept, not deleted.
    contentLog.clear();
    cms.setDataContent(next);
    EXPECT_EQ(count(contentLog.messages(), "entering d'tor"), 0u);
    EXPECT_EQ(cms.getDataContent(), next);

    cms.setDataContent(nullptr);
    EXPECT_EQ(cms.getDataContent(), nullptr);
    EXPECT_EQ(count(contentLog.messages(), "entering d'tor"), 1u);
    cms.setDataContentType(23);
    EXPECT_EQ(cms.getDataContentType(), 23);
}

TEST(CmsWrapper, DataContentCopiesBytes) {
    Bytes bytes = {1, 2, 3, 4, 5};
    CCmsDataContent content(bytes.data(), 5);
    bytes[0] = 9;
    EXPECT_EQ(contentOf(&content), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(content.getError(), 0);

    CCmsDataContent copied(content);
    CCmsDataContent fromPointer(&content);
    CCmsDataContent assigned(nullptr, 0);
    assigned = content;
    for (const CCmsDataContent* copy : {&copied, &fromPointer, &assigned}) {
        EXPECT_EQ(contentOf(copy), contentOf(&content));
        EXPECT_NE(copy->getPbCmsData(), content.getPbCmsData());
    }
    const CCmsDataContent& alias = assigned;
    assigned = alias;
    EXPECT_EQ(contentOf(&assigned), (Bytes{1, 2, 3, 4, 5}));

    // A null pointer keeps no bytes but the count as given; copies agree.
    CCmsDataContent none(nullptr, 7);
    EXPECT_EQ(none.getPbCmsData(), nullptr);
    EXPECT_EQ(none.getCbCmsData(), 7u);
    CCmsDataContent noneCopy(none);
    EXPECT_EQ(noneCopy.getPbCmsData(), nullptr);
    EXPECT_EQ(noneCopy.getCbCmsData(), 7u);
    assigned = none;
    EXPECT_EQ(assigned.getPbCmsData(), nullptr);
    CCmsDataContent fromNull(static_cast<CCmsDataContent*>(nullptr));
    EXPECT_EQ(fromNull.getPbCmsData(), nullptr);
    EXPECT_EQ(fromNull.getCbCmsData(), 0u);
}

TEST(CmsWrapper, LifeCycleIsLogged) {
    Bytes der = message();
    LogCapture log(CCms::m_logger);
    {
        CCms cms(der.data(), static_cast<unsigned int>(der.size()));
        CCms copy(cms);
        copy = cms;
    }
    const std::vector<std::string> expected = {
        "entering c'tor",      "leaving c'tor",      "entering copy c'tor", "leaving copy c'tor",
        "entering operator =", "leaving operator =", "entering d'tor",      "leaving d'tor",
        "entering d'tor",      "leaving d'tor"};
    EXPECT_EQ(log.messages(), expected);
    for (const auto& event : log.events()) {
        EXPECT_EQ(event.level, "DEBUG");
        EXPECT_EQ(event.logger, "KivoCryptoSSL::CmsSSL");
    }

    LogCapture contentLog(CCmsDataContent::m_logger);
    {
        CCmsDataContent content(der.data(), 4);
    }
    EXPECT_EQ(contentLog.messages(),
              (std::vector<std::string>{"entering c'tor", "leaving c'tor", "entering d'tor", "leaving d'tor"}));
}

TEST(CmsWrapper, GetDataCopiesNothing) {
    Bytes der = message();
    Bytes out(16, 0xEE);
    unsigned long outLen = 16;
    EXPECT_EQ(CCms::GetData(der.data(), static_cast<unsigned int>(der.size()), out.data(), &outLen), 0);
    EXPECT_EQ(out, Bytes(16, 0xEE));
    EXPECT_EQ(outLen, 16u);
    EXPECT_EQ(CCms::GetData(nullptr, 0, nullptr, nullptr), 0);
    Bytes garbage = kivo::test::randomBytes(64, 11);
    EXPECT_EQ(CCms::GetData(garbage.data(), 64, out.data(), &outLen), 0);
}

}  // namespace
