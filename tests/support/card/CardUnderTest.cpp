#include "tests/support/card/CardUnderTest.h"

#include "tools/vcard/Description.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace kivo::test {

namespace {

// What `pattern` captures in the lines of the description file.
std::set<std::string> namedIn(const std::string& description, const char* pattern) {
    std::ifstream in(description);
    std::set<std::string> names;
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, match, std::regex(pattern))) names.insert(match[1]);
    }
    return names;
}

// The keys a description names (key <ref> file=<kind>...) and the certificates it takes contents from
// (data=@<stem>.crt), made once per card and process: RSA key generation is slow.
CardKeyFolder* keysFor(const std::string& name, const std::string& description) {
    static std::map<std::string, std::unique_ptr<CardKeyFolder>> made;
    std::unique_ptr<CardKeyFolder>& folder = made[name];
    if (folder) return folder.get();
    std::vector<std::pair<std::string, std::string>> keys;
    for (const std::string& file : namedIn(description, R"(^\s*key\s+\S+\s+file=(\S+))")) {
        keys.emplace_back(file, file.substr(0, file.find_first_of("-.")));
    }
    const std::set<std::string> stems = namedIn(description, R"(data=@(\S+)\.crt)");
    folder = std::make_unique<CardKeyFolder>("card-" + name, keys, std::vector<std::string>(stems.begin(), stems.end()));
    return folder.get();
}

}  // namespace

void CardUnderTest::open() {
    if (!cardServicesExpected()) return openInProcess();
    m_record.clear();
    m_mark = 0;
    m_session.emplace();
    ASSERT_NO_FATAL_FAILURE(m_session->openCard(descriptionPath()));
}

void CardUnderTest::openInProcess() {
    m_record.clear();
    m_mark = 0;
    const std::string description = descriptionPath();
    m_keys = keysFor(m_name, description);
    m_model = std::make_unique<vcard::Card>();
    std::ifstream in(description);
    ASSERT_TRUE(in) << "cannot read " << description;
    ASSERT_NO_THROW(vcard::loadDescription(in, m_keys->path(), *m_model));
    m_pcsc = std::make_unique<ScriptedPcsc>();
    m_pcsc->script.readers = {"Kivo " + m_name + " 00 00"};
    m_pcsc->script.atrs[m_pcsc->script.readers[0]] = m_model->atr;
    m_pcsc->script.cardModel = [this](const Bytes& command) {
        Bytes response = m_model->process(command);
        m_record.push_back({hexText(command), hexText(response)});
        return response;
    };
}

void CardUnderTest::pullOutAfter(int transmits) {
    ASSERT_TRUE(m_pcsc) << "only an in-process card can be pulled out";
    m_pcsc->script.transmitsBeforeRemoval = transmits;
}

void CardUnderTest::speakT0() {
    ASSERT_TRUE(m_pcsc) << "only an in-process card can speak T=0";
    m_pcsc->script.protocol = SCARD_PROTOCOL_T0;
}

void CardUnderTest::reinsert() {
    if (m_session) return m_session->powerCycle();
    m_pcsc->script.removed = false;
    m_pcsc->script.transmitsBeforeRemoval = -1;
    m_model->reset();
}

std::string CardUnderTest::readerName() const {
    if (m_session) return m_session->reader();
    return m_pcsc ? m_pcsc->script.readers.front() : std::string();
}

CardUnderTest::~CardUnderTest() {
    std::error_code ignored;
    if (!m_writtenDescription.empty()) std::filesystem::remove(m_writtenDescription, ignored);
}

std::string CardUnderTest::descriptionPath() {
    if (m_descriptionText.empty()) return std::string(KIVO_VCARD_CARDS) + "/" + m_name + ".txt";
    m_writtenDescription = (std::filesystem::temp_directory_path() /
                            ("kivo-card-" + m_name + "-" + std::to_string(::getpid()) + ".txt")).string();
    std::ofstream(m_writtenDescription, std::ios::trunc) << m_descriptionText;
    return m_writtenDescription;
}

void CardUnderTest::connect(CSC_Profile_Base& profile) {
    const std::string reader = readerName();
    ASSERT_EQ(profile.Connect(reader.c_str(), throughPcsc() ? 0 : 0x77), kivo::card::cOk) << "cannot connect to " << reader;
    mark();
}

void CardUnderTest::mark() {
    if (throughPcsc()) return m_session->markRecord();
    m_mark = m_record.size();
}

std::vector<RecordedExchange> CardUnderTest::exchanges() const {
    if (throughPcsc()) return m_session->recorded();
    return {m_record.begin() + static_cast<std::ptrdiff_t>(m_mark), m_record.end()};
}

std::vector<std::string> CardUnderTest::commands() const {
    std::vector<std::string> sent;
    for (const RecordedExchange& exchange : exchanges()) sent.push_back(exchange.command);
    return sent;
}

CardBytes CardUnderTest::transmit(const std::string& hexCommand) {
    if (throughPcsc()) return m_session->transmit(hexBytes(hexCommand));
    return m_pcsc->script.cardModel(hexBytes(hexCommand));
}

std::string CardUnderTest::keyFile(const std::string& file) const {
    if (throughPcsc()) return std::string(std::getenv("KIVO_VCARD_DIR")) + "/" + file;
    return m_keys->file(file);
}

std::vector<std::string> secretForms(const std::string& secret) {
    Bytes packed;
    for (std::size_t i = 0; i + 1 < secret.size(); i += 2) {
        packed.push_back(static_cast<std::uint8_t>((secret[i] - '0') << 4 | (secret[i + 1] - '0')));
    }
    std::vector<std::string> forms = {secret};
    for (const Bytes& bytes : {Bytes(secret.begin(), secret.end()), packed}) {
        for (const char* separator : {"", " ", ":"}) {
            for (const bool upper : {false, true}) {
                std::string form = hexText(bytes);
                if (!upper) std::transform(form.begin(), form.end(), form.begin(), ::tolower);
                for (std::size_t at = 2; *separator != '\0' && at < form.size(); at += 3) form.insert(at, separator);
                forms.push_back(form);
            }
        }
    }
    return forms;
}

}  // namespace kivo::test
