// The PKCS#11 module as an application loads it (dlopen, C_GetFunctionList)
// on the virtual cards through pcscd: slots, token, objects, login, the
// length queries and the always-authenticate keys, a card reset by another
// program. The signatures of every family through outside programs are
// checked in test_pkcs11_programs.cpp.
#include "pkcs11/Attributes.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/OpenCardKey.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kivo::test {
namespace {

using p11::Bytes;
const std::string kPin = "123456";

TEST(Pkcs11Attributes, LengthQueryTooSmallUnknownAndSensitive) {
    p11::AttributeSet set;
    set.set(CKA_LABEL, {'a', 'b', 'c'});
    set.setSensitive(CKA_PRIVATE_EXPONENT);
    std::uint8_t small[2] = {};
    std::uint8_t room[8] = {};
    CK_ATTRIBUTE query[] = {{CKA_LABEL, nullptr, 0}, {CKA_LABEL, room, sizeof room}, {CKA_SUBJECT, room, 8},
                            {CKA_PRIVATE_EXPONENT, nullptr, 0}, {CKA_LABEL, small, sizeof small}};
    EXPECT_EQ(set.copyInto(query, 5), CKR_BUFFER_TOO_SMALL);  // the last error of the template
    EXPECT_EQ(query[0].ulValueLen, 3u);
    EXPECT_EQ(query[1].ulValueLen, 3u);
    EXPECT_EQ(std::memcmp(room, "abc", 3), 0);
    for (int i : {2, 3, 4}) EXPECT_EQ(query[i].ulValueLen, CK_UNAVAILABLE_INFORMATION) << i;
    EXPECT_EQ(set.copyInto(query + 3, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(set.copyInto(query + 2, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    CK_ATTRIBUTE unreadable{CKA_LABEL, nullptr, 4};
    EXPECT_FALSE(p11::readTemplate(&unreadable, 1));
    EXPECT_FALSE(p11::readTemplate(nullptr, 1));
    CK_ATTRIBUTE same{CKA_LABEL, const_cast<char*>("abc"), 3};
    CK_ATTRIBUTE other{CKA_LABEL, const_cast<char*>("abd"), 3};
    EXPECT_TRUE(set.matches(*p11::readTemplate(&same, 1)));
    EXPECT_FALSE(set.matches(*p11::readTemplate(&other, 1)));
    CK_ATTRIBUTE sensitive{CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_FALSE(set.matches(*p11::readTemplate(&sensitive, 1)));  // a sensitive value matches nothing
}

CK_FUNCTION_LIST* loadModule() {
    void* handle = dlopen(KIVO_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    return get != nullptr && get(&list) == CKR_OK ? list : nullptr;
}

class Pkcs11OnCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cardServicesExpected()) GTEST_SKIP() << "the module reaches cards through pcscd only";
        p11 = loadModule();
        ASSERT_NE(p11, nullptr) << dlerror();
        ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override {
        if (p11 != nullptr) EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    }

    // Puts the family's card in the described reader; its slot.
    CK_SLOT_ID insert(const std::string& family) {
        card = std::make_unique<CardUnderTest>(family);
        card->open();
        CK_ULONG count = 0;
        EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        std::vector<CK_SLOT_ID> slots(count);
        EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
        for (CK_SLOT_ID id : slots) {
            CK_SLOT_INFO info{};
            p11->C_GetSlotInfo(id, &info);
            if (std::string(reinterpret_cast<char*>(info.slotDescription), 64).rfind(card->readerName(), 0) == 0) return id;
        }
        ADD_FAILURE() << "no slot for " << card->readerName();
        return ~CK_SLOT_ID{0};
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot) {
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        return session;
    }
    CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin = kPin) {
        return p11->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())), pin.size());
    }
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> search) {
        EXPECT_EQ(p11->C_FindObjectsInit(session, search.data(), search.size()), CKR_OK);
        std::vector<CK_OBJECT_HANDLE> found(64);
        CK_ULONG count = 0;
        EXPECT_EQ(p11->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
        EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
        found.resize(count);
        return found;
    }
    std::vector<CK_OBJECT_HANDLE> ofClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS kind, Bytes id = {}) {
        std::vector<CK_ATTRIBUTE> search{{CKA_CLASS, &kind, sizeof kind}};
        if (!id.empty()) search.push_back({CKA_ID, id.data(), id.size()});
        return find(session, search);
    }
    Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE query{type, nullptr, 0};
        if (p11->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return {};
        Bytes value(query.ulValueLen);
        query.pValue = value.data();
        EXPECT_EQ(p11->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
        return value;
    }
    // The certificate of the key's CKA_ID.
    Bytes certificateOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
        const auto certificates = ofClass(session, CKO_CERTIFICATE, attribute(session, key, CKA_ID));
        return certificates.empty() ? Bytes{} : attribute(session, certificates.front(), CKA_VALUE);
    }
    CK_RV sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM mechanism, const Bytes& data,
               Bytes& signature) {
        CK_RV result = p11->C_SignInit(session, &mechanism, key);
        CK_ULONG length = 0;
        if (result == CKR_OK) result = p11->C_Sign(session, const_cast<std::uint8_t*>(data.data()), data.size(), nullptr, &length);
        signature.assign(length, 0);
        if (result == CKR_OK) result = p11->C_Sign(session, const_cast<std::uint8_t*>(data.data()), data.size(), signature.data(), &length);
        signature.resize(length);
        return result;
    }

    CK_FUNCTION_LIST* p11 = nullptr;
    std::unique_ptr<CardUnderTest> card;
};

// The token as the card describes it, the PIN's answers and what a login
// makes visible.
TEST_F(Pkcs11OnCard, TokenPinAnswersAndPrivateObjects) {
    const CK_SLOT_ID slot = insert("family-tcos20-medisign");
    CK_TOKEN_INFO info{};
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 8), "TCOS 2.0");
    EXPECT_EQ(info.flags & (CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_PROTECTED_AUTHENTICATION_PATH),
              CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED);
    const CK_SESSION_HANDLE session = open(slot);
    const std::size_t publicObjects = find(session, {}).size();
    EXPECT_TRUE(ofClass(session, CKO_PRIVATE_KEY).empty());
    EXPECT_EQ(login(session, CKU_USER, ""), CKR_PIN_LEN_RANGE);  // no PIN dialog of the module's own
    EXPECT_EQ(login(session, CKU_USER, "999999"), CKR_PIN_INCORRECT);
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_EQ(login(session, CKU_SO), CKR_USER_TYPE_INVALID);
    ASSERT_EQ(login(session, CKU_USER), CKR_OK);
    EXPECT_EQ(login(session, CKU_USER), CKR_USER_ALREADY_LOGGED_IN);
    const auto keys = ofClass(session, CKO_PRIVATE_KEY);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(find(session, {}).size(), publicObjects + keys.size());
    CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(session, keys.front(), &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(p11->C_SignInit(session, &ecdsa, keys.front()), CKR_MECHANISM_INVALID);
    // The PIN changed through the card's own command, in a read-write session only.
    const auto setPin = [&](CK_SESSION_HANDLE in, std::string from, std::string to) {
        return p11->C_SetPIN(in, reinterpret_cast<CK_UTF8CHAR*>(from.data()), from.size(),
                             reinterpret_cast<CK_UTF8CHAR*>(to.data()), to.size());
    };
    EXPECT_EQ(setPin(session, kPin, "654321"), CKR_SESSION_READ_ONLY);
    CK_SESSION_HANDLE readWrite = 0;
    ASSERT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &readWrite), CKR_OK);
    EXPECT_EQ(setPin(readWrite, kPin, "654321"), CKR_OK);
    EXPECT_EQ(setPin(readWrite, "654321", kPin), CKR_OK);
    EXPECT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_TRUE(ofClass(session, CKO_PRIVATE_KEY).empty());
    EXPECT_EQ(p11->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(p11->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
}

// A single-signature card: the length is told without a card command, every
// signature needs its own authentication, and a signature costs no more
// APDUs than the library's own signing (detection, VERIFY, MSE, PSO).
TEST_F(Pkcs11OnCard, SingleSignatureCardAsFewCommandsAsTheLibrary) {
    const CK_SESSION_HANDLE session = open(insert("family-cardos43-signcard-single"));
    ASSERT_EQ(login(session, CKU_USER), CKR_OK);
    const auto keys = ofClass(session, CKO_PRIVATE_KEY);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(attribute(session, keys.front(), CKA_ALWAYS_AUTHENTICATE), Bytes{CK_TRUE});
    const Bytes data{'d', 'o', 'c'};
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &mechanism, keys.front()), CKR_OK);
    ASSERT_EQ(login(session, CKU_CONTEXT_SPECIFIC), CKR_OK);
    card->mark();
    std::uint8_t small[8];
    CK_ULONG length = sizeof small;
    EXPECT_EQ(p11->C_Sign(session, const_cast<std::uint8_t*>(data.data()), data.size(), small, &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);
    EXPECT_TRUE(card->commands().empty());
    Bytes signature(length);
    ASSERT_EQ(p11->C_Sign(session, const_cast<std::uint8_t*>(data.data()), data.size(), signature.data(), &length), CKR_OK);
    EXPECT_TRUE(verifyRsaPkcs1(certificateOf(session, keys.front()), sha256(data), signature, "SHA256"));
    Bytes second;
    EXPECT_EQ(sign(session, keys.front(), mechanism, data, second), CKR_USER_NOT_LOGGED_IN);
    CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &raw, keys.front()), CKR_OK);
    EXPECT_EQ(p11->C_SignUpdate(session, small, ~CK_ULONG{0}), CKR_DATA_LEN_RANGE);  // refused before a byte is read

    // The same signature through the library's card key, on the card put in anew.
    card->reinsert();
    p11->C_Finalize(nullptr);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    card->mark();
    const CK_SESSION_HANDLE again = open(insert("family-cardos43-signcard-single"));
    ASSERT_EQ(login(again, CKU_USER), CKR_OK);
    const auto key = ofClass(again, CKO_PRIVATE_KEY);
    ASSERT_EQ(p11->C_SignInit(again, &mechanism, key.front()), CKR_OK);
    ASSERT_EQ(login(again, CKU_CONTEXT_SPECIFIC), CKR_OK);
    ASSERT_EQ(p11->C_Sign(again, const_cast<std::uint8_t*>(data.data()), data.size(), signature.data(), &length), CKR_OK);
    const std::size_t throughModule = card->commands().size();
    card->reinsert();
    card->mark();
    const auto library = openCardKey(*card);
    ASSERT_TRUE(library && library->VerifyPIN(kPin, 0));
    unsigned long made = signature.size();
    ASSERT_EQ(library->CardSignData(data.data(), data.size(), signature.data(), &made, 1, false, false), 0);
    EXPECT_LE(throughModule, card->commands().size());
}

// A card reset by another program: the token the application saw is gone,
// the slot event tells it (also to a caller blocked waiting), and the card
// is a token again.
TEST_F(Pkcs11OnCard, ResetEndsSessionsAndRaisesASlotEvent) {
    const CK_SLOT_ID slot = insert("family-cardos43-signcard");
    const CK_SESSION_HANDLE session = open(slot);
    CK_SLOT_ID event = 0;
    while (p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK) {
    }
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        card->reinsert();
    });
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
    other.join();
    EXPECT_EQ(event, slot);
    EXPECT_EQ(login(session, CKU_USER), CKR_DEVICE_REMOVED);
    EXPECT_EQ(login(open(slot), CKU_USER), CKR_OK);

    // C_Finalize ends a wait, although the module is initialized again at once.
    CK_RV waited = CKR_OK;
    std::thread waiter([&] { waited = p11->C_WaitForSlotEvent(0, &event, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    waiter.join();
    EXPECT_EQ(waited, CKR_CRYPTOKI_NOT_INITIALIZED);
}

}  // namespace
}  // namespace kivo::test
