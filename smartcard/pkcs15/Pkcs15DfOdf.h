// CPkcs15DfOdf: EF.ODF, the object directory: a sequence of [0]..[8], each
// holding the Path of one directory file of that object kind.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CPkcs15DfOdf {
public:
    // The object kinds by their context tag.
    static constexpr int cPrivateKeys = 0;
    static constexpr int cPublicKeys = 1;
    static constexpr int cTrustedPublicKeys = 2;
    static constexpr int cSecretKeys = 3;
    static constexpr int cCertificates = 4;
    static constexpr int cTrustedCertificates = 5;
    static constexpr int cUsefulCertificates = 6;
    static constexpr int cDataObjects = 7;
    static constexpr int cAuthObjects = 8;
    static constexpr int cKinds = 9;
    // Paths kept per kind; further ones are passed over with a trace line.
    static constexpr std::size_t cMaxPathsPerKind = 10;

    CPkcs15DfOdf() = default;
    // Reads the elements from the start of the data; the first element that
    // is not [0]..[8] ends the walk.
    CPkcs15DfOdf(const std::uint8_t* data, std::size_t length);
    virtual ~CPkcs15DfOdf() = default;

    // Number of paths of a kind (0 for a kind outside 0..8).
    std::size_t pathCount(int kind) const;
    // A path of a kind as upper-case hex; empty when there is none.
    const std::string& path(int kind, std::size_t index) const;

private:
    void store(int kind, const char* path);

    std::array<std::array<std::string, cMaxPathsPerKind>, cKinds> m_paths;
    std::array<std::size_t, cKinds> m_counts{};
};
