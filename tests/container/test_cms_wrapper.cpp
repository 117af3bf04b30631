// CCms and CCmsDataContent: owned copies, the content-type element located
// in the message, deep copies and assignment (AddressSanitizer builds catch
// double frees and leaks), and the logging of the life cycle.

#include "tests/support/ContainerTestUtil.h"

#include "CmsSSL.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::cms::oidElement;

namespace {

const Bytes kSignedDataOid = oidElement("1.2.840.113549.1.7.2");

Bytes message() { return signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::EcP256), {}); }

Bytes contentOf(const CCmsDataContent* content) {
    if (content == nullptr || content->getPbCmsData() == nullptr) return {};
    return Bytes(content->getPbCmsData(), content->getPbCmsData() + content->getCbCmsData());
}

Bytes bytesOf(const CCms& cms) { return cms.getPbCms() == nullptr ? Bytes{} : Bytes(cms.getPbCms(), cms.getPbCms() + cms.getCbCms()); }

TEST(CmsWrapper, ContentTypeElementOrError1000) {
    const Bytes der = message();
    const struct {
        const char* what;
        Bytes bytes;
        Bytes contentType;  // empty: error 1000, no content
    } cases[] = {
        {"signedData", der, kSignedDataOid},
        {"time-stamp token", timeStampToken(Bytes{'t'}), kSignedDataOid},
        {"data", kivo::test::cms::tlv(0x30, kivo::test::cms::join({oidElement("1.2.840.113549.1.7.1"), kivo::test::hex("A0030401 01")})),
         oidElement("1.2.840.113549.1.7.1")},
        {"not a SEQUENCE", kivo::test::hex("0403060100"), {}},
        {"first child an INTEGER", kivo::test::hex("3003020105"), {}},
        {"empty SEQUENCE", kivo::test::hex("3000"), {}},
        {"truncated OID", kivo::test::hex("300506032A"), {}},
        {"truncated header", kivo::test::hex("308201"), {}},
        {"one octet short", Bytes(der.begin(), der.end() - 1), {}},
        {"constructed identifier 26", kivo::test::hex("300326012A"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HeapCopy copy(c.bytes);
        CCms cms(copy.data(), static_cast<unsigned int>(c.bytes.size()));
        EXPECT_EQ(cms.getError(), c.contentType.empty() ? 1000 : 0);
        EXPECT_EQ(bytesOf(cms), c.bytes);
        EXPECT_NE(cms.getPbCms(), copy.data()) << "the message is copied";
        EXPECT_EQ(contentOf(cms.getDataContent()), c.contentType);
        EXPECT_EQ(cms.getDataContent() == nullptr, c.contentType.empty());
    }
    CCms none(nullptr, 10);
    EXPECT_EQ(none.getError(), 1000);
    EXPECT_EQ(none.getPbCms(), nullptr);
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
        EXPECT_EQ(copy->getDataContentType(), 22);
        ASSERT_NE(copy->getDataContent(), nullptr);
        EXPECT_NE(copy->getDataContent()->getPbCmsData(), original->getDataContent()->getPbCmsData());
    }
    original.reset();
    EXPECT_EQ(contentOf(assigned.getDataContent()), kSignedDataOid);
    Bytes bad = {0x02, 0x01, 0x00};
    assigned = CCms(bad.data(), 3);
    EXPECT_EQ(assigned.getError(), 1000);
    EXPECT_EQ(assigned.getDataContent(), nullptr);
    CCms& self = copied;
    copied = self;
    EXPECT_EQ(contentOf(copied.getDataContent()), kSignedDataOid);
    EXPECT_EQ(CCms(static_cast<CCms*>(nullptr)).getPbCms(), nullptr);

    Bytes bytes = {1, 2, 3};
    CCmsDataContent content(bytes.data(), 3);
    bytes[0] = 9;
    CCmsDataContent contentCopy(content);
    CCmsDataContent contentAssigned(nullptr, 7);
    EXPECT_EQ(contentAssigned.getCbCmsData(), 7u);
    contentAssigned = content;
    const CCmsDataContent contentFromPointer(&content);
    for (const CCmsDataContent* c : std::initializer_list<const CCmsDataContent*>{&content, &contentCopy, &contentAssigned, &contentFromPointer}) EXPECT_EQ(contentOf(c), (Bytes{1, 2, 3}));
    EXPECT_NE(contentCopy.getPbCmsData(), content.getPbCmsData());
    EXPECT_EQ(CCmsDataContent(static_cast<CCmsDataContent*>(nullptr)).getCbCmsData(), 0u);
}

TEST(CmsWrapper, SetDataContentDeletesThePreviousOneAndTheLifeCycleIsLogged) {
    Bytes der = message();
    kivo::test::LogCapture log(CCms::m_logger);
    kivo::test::LogCapture contentLog(CCmsDataContent::m_logger);
    {
        CCms cms(der.data(), static_cast<unsigned int>(der.size()));
        CCms copy(cms);
        copy = cms;
        Bytes replacement = oidElement("1.2.3.4");
        auto* next = new CCmsDataContent(replacement.data(), static_cast<unsigned int>(replacement.size()));
        contentLog.clear();
        cms.setDataContent(next);
        cms.setDataContent(next);  // the same object: kept
        EXPECT_EQ(contentLog.messages(), (std::vector<std::string>{"entering d'tor", "leaving d'tor"}));
        EXPECT_EQ(contentOf(cms.getDataContent()), replacement);
        cms.setDataContent(nullptr);
        EXPECT_EQ(cms.getDataContent(), nullptr);
    }
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"entering c'tor", "leaving c'tor", "entering copy c'tor",
                                                         "leaving copy c'tor", "entering operator =", "leaving operator =",
                                                         "entering d'tor", "leaving d'tor", "entering d'tor", "leaving d'tor"}));
    for (const auto& event : log.events()) {
        EXPECT_EQ(event.level, "DEBUG");
        EXPECT_EQ(event.logger, "KivoCryptoSSL::CmsSSL");
    }
    Bytes out(16, 0xEE);
    unsigned long outLen = 16;
    EXPECT_EQ(CCms::GetData(der.data(), static_cast<unsigned int>(der.size()), out.data(), &outLen), 0);
    EXPECT_EQ(out, Bytes(16, 0xEE)) << "GetData copies nothing";
    EXPECT_EQ(outLen, 16u);
}

}  // namespace
