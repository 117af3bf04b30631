// What a person waits for at a card reader: the card operations of the
// library through pcscd, vpcd and vcard, with the APDUs each sends counted
// at the card (vcard's record of the described reader) and the wall time,
// on a CardOS 4.3b PKCS#15 card (also its single-signature product), a
// D-TRUST card and a TCOS 2.0 card of tests/support/cards. Beside them,
// the APDUs OpenSC's pkcs15-tool -c sends with its generic driver to the
// same card, where that driver reads it. Needs the card services: run under
// scripts/card-services.sh's variables (KIVO_VCARD_DIR); without them every
// case reports an error and is skipped.
#include "PINDialogCallback.h"
#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/transport/Reader.h"

#include <benchmark/benchmark.h>
#include <openssl/x509.h>
#include <winscard.h>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kPin[] = "123456";

struct Family {
    const char* file;
    bool pkcs15;  // OpenSC's generic driver reads its PKCS#15 application
};
const Family kFamilies[] = {
    {"family-cardos43-signcard.txt", true},
    {"family-cardos43-signcard-single.txt", true},
    {"family-cardos54-dtrust-rsa.txt", true},
    {"family-tcos20-medisign.txt", false},
};

std::string cardDir() {
    const char* dir = std::getenv("KIVO_VCARD_DIR");
    return dir != nullptr ? dir : "";
}

std::string describedReader() {
    std::ifstream in(cardDir() + "/described.reader");
    std::string reader;
    std::getline(in, reader);
    return reader;
}

// The commands the described card has received so far.
std::size_t apdusAtTheCard() {
    std::ifstream in(cardDir() + "/described.apdu.log");
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) count += line.rfind("> ", 0) == 0;
    return count;
}

// Makes the described card `family` and powers it anew, as a card put in
// the reader: what the library kept of the card before goes.
bool insert(const Family& family) {
    if (cardDir().empty()) return false;
    std::ofstream(cardDir() + "/described.card", std::ios::trunc) << KIVO_VCARD_CARDS "/" << family.file << "\n";
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    bool done = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) == SCARD_S_SUCCESS &&
                SCardConnect(context, describedReader().c_str(), SCARD_SHARE_SHARED,
                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) == SCARD_S_SUCCESS;
    done = done && SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                  SCARD_UNPOWER_CARD, &protocol) == SCARD_S_SUCCESS;
    if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
    if (context != 0) SCardReleaseContext(context);
    return done;
}

int readerIndex() {
    CReader readers;
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        if (readers.GetReaderName(i) == describedReader()) return i;
    }
    return -1;
}

bool detect(int reader) {
    CReader readers;
    return readers.GetSCProfile(reader) != nullptr && readers.GetCardLayout() != nullptr;
}

bool typePin(FPINDialogCallBackParams* params) {
    if (params->action == 0 && !params->pinPad) params->pin = kPin;
    return true;
}

using KeyHandle = std::unique_ptr<unsigned long, decltype([](unsigned long* key) { CSignMessage::CloseSSLKey(key); })>;

KeyHandle openKey(int reader) {
    return KeyHandle(CSignMessage::OpenSSLKey(nullptr, nullptr, kPin, reader, 0, "", nullptr, 0));
}

// One CMS signature of a short text with the open card key; true when made.
bool sign(unsigned long* key) {
    const std::vector<std::uint8_t>& der = reinterpret_cast<CSCM_Interface*>(key)->FindEntry()->certificate;
    const unsigned char* cursor = der.data();
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), X509_free);
    unsigned char content[] = "a document to sign";
    unsigned long length = 0;
    if (CSignMessage::SignBlobSSLForLength(content, sizeof content, nullptr, &length, nullptr, certificate.get(),
                                           key, 1, true, nullptr, 0) != 0) {
        return false;
    }
    std::vector<unsigned char> container(length);
    return CSignMessage::SignBlobSSL(content, sizeof content, container.data(), &length, nullptr, certificate.get(),
                                     key, 1, true, nullptr, 0) == 0;
}

// Runs `operation` once per iteration after `prepare` (not timed) and
// reports the APDUs of each operation.
template <class Prepare, class Operation>
void measure(benchmark::State& state, const Family& family, Prepare prepare, Operation operation) {
    if (!insert(family)) {
        state.SkipWithError("no described card: start scripts/card-services.sh and export its variables");
        return;
    }
    const int reader = readerIndex();
    std::size_t apdus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool ready = prepare(reader);
        const std::size_t before = apdusAtTheCard();
        state.ResumeTiming();
        const bool done = ready && operation(reader);
        state.PauseTiming();
        apdus += apdusAtTheCard() - before;
        state.ResumeTiming();
        if (!done) {
            state.SkipWithError("the card operation failed");
            return;
        }
    }
    state.counters["APDUs"] = benchmark::Counter(static_cast<double>(apdus), benchmark::Counter::kAvgIterations);
}

void BM_Card_Detection(benchmark::State& state, const Family& family) {
    measure(state, family, [&](int) { return insert(family); }, detect);
}

void BM_Card_DetectionAgain(benchmark::State& state, const Family& family) {
    measure(state, family, [](int reader) { return detect(reader); }, detect);
}

void BM_Card_OpenSSLKey(benchmark::State& state, const Family& family) {
    measure(state, family, [&](int) { return insert(family); }, [](int reader) { return openKey(reader) != nullptr; });
}

// The first and the second signature with one open key; a single-signature
// card asks for the PIN again (the host's dialog types it).
void BM_Card_Signature(benchmark::State& state, const Family& family, bool second) {
    CSCUtils::SetPINDialogCallbackFunc(typePin);
    CSCUtils::SetUsePINDialogCallback(true);
    KeyHandle key;
    measure(state, family,
            [&](int reader) {
                key = openKey(reader);
                return key != nullptr && (!second || sign(key.get()));
            },
            [&](int) { return sign(key.get()); });
    key.reset();
    CSCUtils::SetUsePINDialogCallback(false);
    CSCUtils::SetPINDialogCallbackFunc(nullptr);
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

void BM_Card_CliSign(benchmark::State& state, const Family& family) {
    measure(state, family, [&](int) { return insert(family); }, [](int reader) {
        return run("printf 'a document' >/tmp/kivo-bench-doc && P=123456 '" KIVO_CLI_FILE "' sign --card --reader " +
                   std::to_string(reader) + " --pin-env P /tmp/kivo-bench-doc /tmp/kivo-bench-doc.p7s >/dev/null 2>&1");
    });
}

// OpenSC's pkcs15-tool -c (list the certificates) with its generic driver
// alone, the way it reads a PKCS#15 card it has no driver for.
void BM_OpenSC_Pkcs15ToolCertificates(benchmark::State& state, const Family& family) {
    if (!family.pkcs15 || !run("command -v pkcs15-tool >/dev/null")) {
        state.SkipWithError("OpenSC's generic driver does not read this card (or OpenSC is not installed)");
        return;
    }
    const std::string conf = "/tmp/kivo-bench-opensc.conf";
    std::ofstream(conf, std::ios::trunc) << "app default {\n  card_drivers = default;\n  enable_default_driver = yes;\n}\n";
    measure(state, family, [&](int) { return insert(family); }, [&](int) {
        return run("OPENSC_CONF=" + conf + " pkcs15-tool --reader '" + describedReader() + "' -c >/dev/null 2>&1");
    });
}

// A signature through the PKCS#11 module as an outside program makes it:
// pkcs11-tool loads `module`, logs in and signs (a process of its own per
// signature, so detection included). OpenSC's own module, where its generic
// driver can sign on the card, for comparison.
void pkcs11ToolSign(benchmark::State& state, const Family& family, const std::string& module,
                    const std::string& environment) {
    measure(state, family, [&](int) { return insert(family); }, [&](int reader) {
        return run(environment + " pkcs11-tool --module '" + module + "' --slot " + std::to_string(reader) +
                   " --login --pin " + kPin + " --sign -m SHA256-RSA-PKCS -i /tmp/kivo-bench-doc"
                   " -o /tmp/kivo-bench-doc.sig >/dev/null 2>&1");
    });
}

void BM_Pkcs11_ToolSign(benchmark::State& state, const Family& family) {
    run("printf 'a document' >/tmp/kivo-bench-doc");
    pkcs11ToolSign(state, family, KIVO_PKCS11_MODULE, "");
}

void BM_OpenSC_Pkcs11ToolSign(benchmark::State& state, const Family& family) {
    const std::string module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    if (!family.pkcs15 || !std::ifstream(module)) {
        state.SkipWithError("OpenSC's generic driver does not read this card (or OpenSC is not installed)");
        return;
    }
    std::ofstream("/tmp/kivo-bench-opensc.conf", std::ios::trunc)
        << "app default {\n  card_drivers = default;\n  enable_default_driver = yes;\n}\n";
    pkcs11ToolSign(state, family, module, "OPENSC_CONF=/tmp/kivo-bench-opensc.conf");
}

// Signatures in one process through the module's function list: the
// session is open and logged in; each signature is C_SignInit, the
// context-specific login of a single-signature card, and C_Sign.
void BM_Pkcs11_Signature(benchmark::State& state, const Family& family) {
    CK_FUNCTION_LIST* p11 = nullptr;
    void* library = dlopen(KIVO_PKCS11_MODULE, RTLD_NOW);
    const auto get = library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
    if (get == nullptr || get(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) {
        state.SkipWithError("the PKCS#11 module does not load");
        return;
    }
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4', '5', '6'};
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[] = "a document to sign";
    CK_BYTE signature[1024];
    CK_BBOOL alwaysAuthenticate = CK_FALSE;
    measure(state, family,
            [&](int reader) {
                CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
                CK_ATTRIBUTE search{CKA_CLASS, &privateKey, sizeof privateKey};
                CK_ULONG found = 0;
                CK_ATTRIBUTE always{CKA_ALWAYS_AUTHENTICATE, &alwaysAuthenticate, sizeof alwaysAuthenticate};
                return session != 0 ||
                       (p11->C_OpenSession(static_cast<CK_SLOT_ID>(reader), CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
                        p11->C_Login(session, CKU_USER, pin, sizeof pin) == CKR_OK &&
                        p11->C_FindObjectsInit(session, &search, 1) == CKR_OK &&
                        p11->C_FindObjects(session, &key, 1, &found) == CKR_OK && found == 1 &&
                        p11->C_FindObjectsFinal(session) == CKR_OK &&
                        p11->C_GetAttributeValue(session, key, &always, 1) == CKR_OK);
            },
            [&](int) {
                CK_ULONG length = sizeof signature;
                return p11->C_SignInit(session, &mechanism, key) == CKR_OK &&
                       (alwaysAuthenticate == CK_FALSE || p11->C_Login(session, CKU_CONTEXT_SPECIFIC, pin, sizeof pin) == CKR_OK) &&
                       p11->C_Sign(session, data, sizeof data, signature, &length) == CKR_OK;
            });
    p11->C_Finalize(nullptr);
}

void registerAll() {
    for (const Family& family : kFamilies) {
        std::string name = family.file;
        name = name.substr(0, name.size() - 4);
        const auto add = [&](const std::string& what, auto function, auto... arguments) {
            benchmark::RegisterBenchmark((what + "/" + name).c_str(), function, family, arguments...)
                ->Unit(benchmark::kMillisecond)->Iterations(5);
        };
        add("BM_Card_Detection", BM_Card_Detection);
        add("BM_Card_DetectionAgain", BM_Card_DetectionAgain);
        add("BM_Card_OpenSSLKey", BM_Card_OpenSSLKey);
        add("BM_Card_FirstSignature", BM_Card_Signature, false);
        add("BM_Card_SecondSignature", BM_Card_Signature, true);
        add("BM_Card_CliSign", BM_Card_CliSign);
        add("BM_OpenSC_Pkcs15ToolCertificates", BM_OpenSC_Pkcs15ToolCertificates);
        add("BM_Pkcs11_ToolSign", BM_Pkcs11_ToolSign);
        add("BM_OpenSC_Pkcs11ToolSign", BM_OpenSC_Pkcs11ToolSign);
        add("BM_Pkcs11_Signature", BM_Pkcs11_Signature);
    }
}

const int kRegistered = (registerAll(), 0);

}  // namespace
