// Bounded assembly of the one-line texts that CExtensionSSL and
// CRestrictionSSL return.
//
// Every renderer owns a result buffer of kRenderTextSize octets (one per
// renderer and thread). A RenderText clears the buffer when it is made and
// appends to it; a line longer than the buffer is cut, so the buffer always
// holds a zero-terminated prefix of the whole line and nothing is written
// past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kivo::render {

inline constexpr std::size_t kRenderTextSize = 2048;

class RenderText {
public:
    // `buffer` holds kRenderTextSize octets; it is cleared here.
    explicit RenderText(char* buffer);

    void append(std::string_view text);
    // A null pointer appends nothing.
    void append(const char* text);
    // ", " unless the line is still empty: the separator of list items.
    void separator();
    // Decimal text of a signed 32-bit number.
    void appendDecimal(std::int32_t value);

    // Empties the line (used when rendering has to be abandoned).
    void clear();

    bool empty() const { return m_used == 0; }
    // True once something had to be cut off.
    bool cut() const { return m_cut; }
    std::string_view view() const { return {m_buffer, m_used}; }
    char* result() const { return m_buffer; }

private:
    char* m_buffer;
    std::size_t m_used = 0;
    bool m_cut = false;
};

// Items joined by a separator inside a larger line, such as the
// "a, b" of "professionItems={a, b}".
class ItemList {
public:
    ItemList(RenderText& text, std::string_view separator) : m_text(text), m_separator(separator) {}

    // The separator (unless this is the first item), then `item`.
    void add(std::string_view item);
    bool empty() const { return m_first; }

private:
    RenderText& m_text;
    std::string_view m_separator;
    bool m_first = true;
};

}  // namespace kivo::render
