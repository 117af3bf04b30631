#include "tools/vcard/Description.h"

#include <openssl/pem.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace vcard {

namespace {

struct Statement {
    std::string keyword;
    std::vector<std::string> words;              // positional arguments
    std::map<std::string, std::string> options;  // name=value arguments
};

Statement split(const std::string& line) {
    Statement statement;
    std::istringstream in(line);
    in >> statement.keyword;
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        if (eq == std::string::npos) {
            statement.words.push_back(word);
        } else {
            statement.options[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return statement;
}

class Parser {
public:
    Parser(const std::filesystem::path& baseDir, Card& card) : m_base(baseDir), m_card(card) {}

    void line(const std::string& text) {
        std::string body = text.substr(0, text.find('#'));
        Statement s = split(body);
        if (s.keyword.empty()) return;
        if (s.keyword == "atr") {
            m_card.atr = hex(joinWords(s));
        } else if (s.keyword == "df") {
            auto file = newFile(s, CardFile::Kind::Dedicated);
            if (s.options.count("aid")) file->aid = hex(s.options["aid"]);
            add(s, std::move(file));
        } else if (s.keyword == "ef") {
            auto file = newFile(s, CardFile::Kind::Transparent);
            if (!s.options.count("data")) fail("ef needs data=");
            file->content = content(s.options["data"]);
            if (s.options.count("size")) {
                const std::size_t size = decimal(s.options["size"], file->content.size(), 0x7FFF);
                file->content.resize(size, 0x00);
            }
            add(s, std::move(file));
        } else if (s.keyword == "records") {
            add(s, newFile(s, CardFile::Kind::Records));
        } else if (s.keyword == "record") {
            if (s.words.size() != 2) fail("record needs a path and a content");
            CardFile* file = m_card.files.find(path(s.words[0]));
            if (!file || file->kind != CardFile::Kind::Records) fail("no record EF " + s.words[0]);
            file->records.push_back(content(s.words[1]));
        } else if (s.keyword == "pin") {
            Pin pin;
            pin.value = pinValue(option(s, "value"));
            pin.maxRetries = s.options.count("max") ? number(s.options["max"]) : 3;
            pin.retries = s.options.count("tries") ? number(s.options["tries"]) : pin.maxRetries;
            if (s.options.count("puk")) pin.puk = reference(s.options["puk"]);
            m_card.security.addPin(reference(word(s)), std::move(pin));
        } else if (s.keyword == "key") {
            Key key;
            key.pkey = readKey(m_base / option(s, "file"));
            if (s.options.count("pin")) key.pin = reference(s.options["pin"]);
            m_card.security.addKey(reference(word(s)), std::move(key));
        } else if (s.keyword == "dialect") {
            if (!s.words.empty() || s.options.empty()) fail("dialect takes name=value options");
            for (const auto& [name, value] : s.options) m_card.dialect->options[name] = value;
        } else if (s.keyword == "data") {
            if (s.words.size() != 2) fail("data needs a tag and a content");
            Bytes tag = hex(s.words[0]);
            if (tag.size() != 2) fail("data tag must be two bytes");
            m_card.dataObjects[static_cast<std::uint16_t>(tag[0] << 8 | tag[1])] = content(s.words[1]);
        } else {
            fail("unknown statement " + s.keyword);
        }
    }

    int lineNumber = 0;

private:
    [[noreturn]] void fail(const std::string& why) const {
        throw DescriptionError("line " + std::to_string(lineNumber) + ": " + why);
    }

    static std::string joinWords(const Statement& s) {
        std::string all;
        for (const auto& w : s.words) all += w;
        return all;
    }

    const std::string& word(const Statement& s) const {
        if (s.words.empty()) fail(s.keyword + " needs an argument");
        return s.words.front();
    }

    const std::string& option(Statement& s, const std::string& name) const {
        if (!s.options.count(name)) fail(s.keyword + " needs " + name + "=");
        return s.options[name];
    }

    Bytes hex(const std::string& text) const {
        bool ok = false;
        Bytes bytes = fromHex(text, &ok);
        if (!ok) fail("bad hex: " + text);
        return bytes;
    }

    // A decimal number in [low, high].
    std::size_t decimal(const std::string& text, std::size_t low, std::size_t high) const {
        try {
            std::size_t used = 0;
            unsigned long value = std::stoul(text, &used);
            if (used == text.size() && value >= low && value <= high) return value;
        } catch (const std::exception&) {
        }
        fail("expected a number from " + std::to_string(low) + " to " + std::to_string(high) +
             ": " + text);
    }

    // Retry counters fit the low half of a 63Cx status word.
    int number(const std::string& text) const { return static_cast<int>(decimal(text, 0, 15)); }

    std::uint8_t reference(const std::string& text) const {
        Bytes bytes = hex(text);
        if (bytes.size() != 1) fail("a reference is one hex byte: " + text);
        return bytes[0];
    }

    std::vector<std::uint16_t> path(const std::string& text) const {
        std::vector<std::uint16_t> fids;
        std::istringstream in(text);
        std::string part;
        while (std::getline(in, part, '/')) {
            Bytes fid = hex(part);
            if (fid.size() != 2) fail("bad file identifier in " + text);
            fids.push_back(static_cast<std::uint16_t>(fid[0] << 8 | fid[1]));
        }
        if (fids.empty() || fids.front() != 0x3F00) fail("a path starts at 3F00: " + text);
        return fids;
    }

    Bytes content(const std::string& text) const {
        if (text.rfind("@", 0) == 0) {
            std::ifstream in(m_base / text.substr(1), std::ios::binary);
            if (!in) fail("cannot read " + text.substr(1));
            return Bytes(std::istreambuf_iterator<char>(in), {});
        }
        if (text.rfind("seq:", 0) == 0) {
            Bytes bytes(decimal(text.substr(4), 0, 0x7FFF));
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
            return bytes;
        }
        return hex(text);
    }

    Bytes pinValue(const std::string& text) const {
        if (text.rfind("hex:", 0) == 0) return hex(text.substr(4));
        return Bytes(text.begin(), text.end());
    }

    Pkey readKey(const std::filesystem::path& file) const {
        FILE* f = std::fopen(file.c_str(), "r");
        if (!f) fail("cannot read key " + file.string());
        Pkey key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
        std::fclose(f);
        if (!key) fail("no private key in " + file.string());
        return key;
    }

    std::unique_ptr<CardFile> newFile(Statement& s, CardFile::Kind kind) const {
        auto fids = path(word(s));
        if (fids.size() < 2) fail("the MF is always present");
        auto file = std::make_unique<CardFile>();
        file->kind = kind;
        file->fid = fids.back();
        if (s.options.count("sfi")) {
            file->sfi = static_cast<std::uint8_t>(decimal(s.options["sfi"], 1, 30));
        }
        if (s.options.count("fcp")) file->fcp = hex(s.options["fcp"]);
        if (s.options.count("fci")) file->fci = hex(s.options["fci"]);
        return file;
    }

    void add(const Statement& s, std::unique_ptr<CardFile> file) {
        auto fids = path(s.words.front());
        fids.pop_back();
        if (!m_card.files.add(fids, std::move(file))) fail("cannot add " + s.words.front());
    }

    std::filesystem::path m_base;
    Card& m_card;
};

}  // namespace

void loadDescription(std::istream& in, const std::filesystem::path& baseDir, Card& card) {
    Parser parser(baseDir, card);
    std::string text;
    while (std::getline(in, text)) {
        ++parser.lineNumber;
        parser.line(text);
    }
    if (card.atr.empty()) throw DescriptionError("the description has no atr");
}

void loadDescriptionFile(const std::filesystem::path& file, Card& card) {
    std::ifstream in(file);
    if (!in) throw DescriptionError("cannot read " + file.string());
    loadDescription(in, file.parent_path(), card);
}

}  // namespace vcard
