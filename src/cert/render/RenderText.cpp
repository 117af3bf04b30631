// Bounded text assembly for the extension and restriction renderers.

#include "src/cert/render/RenderText.h"

#include <cstdio>
#include <cstring>

namespace kivo::render {

namespace {
constexpr std::size_t kLastUsable = kRenderTextSize - 1;  // room for the zero
}  // namespace

RenderText::RenderText(char* buffer) : m_buffer(buffer) { std::memset(m_buffer, 0, kRenderTextSize); }

void RenderText::append(std::string_view text) {
    std::size_t count = text.size();
    if (count > kLastUsable - m_used) {
        count = kLastUsable - m_used;
        m_cut = true;
    }
    std::memcpy(m_buffer + m_used, text.data(), count);
    m_used += count;
    m_buffer[m_used] = '\0';
}

void RenderText::append(const char* text) {
    if (text != nullptr) append(std::string_view(text));
}

void RenderText::separator() {
    if (!empty()) append(", ");
}

void RenderText::appendDecimal(std::int32_t value) {
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%d", value);
    if (length > 0) append(std::string_view(digits, static_cast<std::size_t>(length)));
}

void RenderText::clear() {
    m_used = 0;
    m_cut = false;
    m_buffer[0] = '\0';
}

void ItemList::add(std::string_view item) {
    if (!m_first) m_text.append(m_separator);
    m_first = false;
    m_text.append(item);
}

}  // namespace kivo::render
