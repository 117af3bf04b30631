// The card's file tree (MF, DFs, transparent and record EFs), the current
// selection, and the file commands: SELECT, READ BINARY, UPDATE BINARY and
// READ RECORD.
#pragma once

#include "tools/vcard/Apdu.h"
#include "tools/vcard/Bytes.h"
#include "tools/vcard/Dialect.h"

#include <memory>
#include <optional>
#include <vector>

namespace vcard {

struct CardFile {
    enum class Kind { Dedicated, Transparent, Records };

    Kind kind = Kind::Dedicated;
    std::uint16_t fid = 0;
    Bytes aid;                 // DF name, for DFs that have one
    std::uint8_t sfi = 0;      // short EF identifier, 0 when none
    Bytes content;             // transparent EFs
    std::vector<Bytes> records;  // record EFs, record 1 first
    // Control information given in the description; built from the file's
    // attributes when absent.
    std::optional<Bytes> fcp;
    std::optional<Bytes> fci;

    CardFile* parent = nullptr;
    std::vector<std::unique_ptr<CardFile>> children;

    bool isDf() const { return kind == Kind::Dedicated; }
    CardFile* child(std::uint16_t id) const;
};

class FileSystem {
public:
    FileSystem();

    std::shared_ptr<const Dialect> dialect = std::make_shared<Dialect>();

    CardFile& mf() { return *m_mf; }
    // Adds a file under the DF named by `path` (file identifiers from the MF
    // on, 3F00 first). Nothing when the parent is missing, is no DF, or the
    // identifier is already taken.
    CardFile* add(const std::vector<std::uint16_t>& parentPath, std::unique_ptr<CardFile> file);
    // The file at `path` (3F00 first), or nothing.
    CardFile* find(const std::vector<std::uint16_t>& path) const;

    // Back to the MF with no current EF, as after a reset.
    void resetSelection();
    const CardFile* currentDf() const { return m_currentDf; }
    const CardFile* currentEf() const { return m_currentEf; }

    Bytes select(const Apdu& apdu);
    Bytes readBinary(const Apdu& apdu);
    Bytes updateBinary(const Apdu& apdu);
    Bytes readRecord(const Apdu& apdu);

    // The FCP (template 62) or FCI (template 6F) of a file; the size of an
    // EF is in tag 80, in the FCI in the tag the dialect's fci-size-tag names;
    // fcp-length=long gives the FCP's length as 81 xx.
    Bytes controlInformation(const CardFile& file, bool fci) const;

private:
    Bytes selected(CardFile* file, std::uint8_t p2);
    CardFile* findByFid(std::uint16_t fid) const;
    CardFile* findByName(const Bytes& name, const CardFile& from) const;
    CardFile* walk(CardFile* start, const Bytes& path) const;
    // The transparent or record EF a command addresses: the current EF, or
    // the one with short identifier `sfi` in the current DF (which it then
    // selects). Sets `sw` when there is none.
    CardFile* target(std::uint8_t sfi, std::uint16_t& sw);

    std::unique_ptr<CardFile> m_mf;
    CardFile* m_currentDf = nullptr;
    CardFile* m_currentEf = nullptr;
};

}  // namespace vcard
