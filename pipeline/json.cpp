// json_value over nlohmann::ordered_json; the only translation unit that
// includes its headers.
#include "json.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace velmora_pipeline {

struct json_value::impl {
    nlohmann::ordered_json j;
};

json_value::json_value() : impl_(std::make_unique<impl>()) {}
json_value::json_value(bool v) : impl_(std::make_unique<impl>()) { impl_->j = v; }
json_value::json_value(double v) : impl_(std::make_unique<impl>()) { impl_->j = v; }
json_value::json_value(std::string_view v) : impl_(std::make_unique<impl>()) { impl_->j = std::string(v); }
json_value::json_value(const json_value &other) : impl_(std::make_unique<impl>(*other.impl_)) {}
json_value::json_value(json_value &&other) noexcept : impl_(std::move(other.impl_)) {}
json_value &json_value::operator=(const json_value &other) {
    if (this != &other) impl_ = std::make_unique<impl>(*other.impl_);
    return *this;
}
json_value &json_value::operator=(json_value &&other) noexcept {
    impl_ = std::move(other.impl_);
    return *this;
}
json_value::~json_value() = default;

json_value::json_value(signed_number n) : impl_(std::make_unique<impl>()) { impl_->j = n.v; }
json_value::json_value(unsigned_number n) : impl_(std::make_unique<impl>()) { impl_->j = n.v; }

namespace {

// Bytes of a string the serializer cannot take (not UTF-8) travel through it
// as hex between two marker bytes; dump() writes them out escaped.  A name
// that holds the marker byte itself goes this way too, so no ordinary string
// can pass for one.
constexpr char marker = '\x01';
constexpr std::string_view marked_open = "\"\\u0001velmora-bytes:";
constexpr std::string_view marked_close = "\\u0001\"";
constexpr char hex_digits[] = "0123456789abcdef";

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there.
size_t utf8_sequence(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp, min;
    if ((c & 0xe0) == 0xc0) n = 2, cp = c & 0x1fu, min = 0x80;
    else if ((c & 0xf0) == 0xe0) n = 3, cp = c & 0x0fu, min = 0x800;
    else if ((c & 0xf8) == 0xf0) n = 4, cp = c & 0x07u, min = 0x10000;
    else return 0;
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (byte(i + k) & 0x3fu);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return n;
}

// The JSON string (quotes included) of bytes, invalid ones as \udcXX.
void append_escaped(std::string &out, std::string_view s) {
    out.push_back('"');
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = utf8_sequence(s, i);
        if (n == 0 || c < 0x20 || c == '"' || c == '\\') {
            if (c == '"' || c == '\\') {
                out.push_back('\\');
                out.push_back(static_cast<char>(c));
            } else {
                out += n == 0 ? "\\udc" : "\\u00";
                out.push_back(hex_digits[c >> 4]);
                out.push_back(hex_digits[c & 15]);
            }
            ++i;
            continue;
        }
        out.append(s.substr(i, n));
        i += n;
    }
    out.push_back('"');
}

bool needs_marking(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (n == 0 || s[i] == marker) return true;
        i += n;
    }
    return false;
}

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

}  // namespace

json_value json_value::path(std::string_view bytes) {
    if (!needs_marking(bytes)) return json_value(bytes);
    std::string marked(1, marker);
    marked += "velmora-bytes:";
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        marked.push_back(hex_digits[c >> 4]);
        marked.push_back(hex_digits[c & 15]);
    }
    marked.push_back(marker);
    json_value v;
    v.impl_->j = std::move(marked);
    return v;
}

json_value json_value::object() {
    json_value v;
    v.impl_->j = nlohmann::ordered_json::object();
    return v;
}

json_value json_value::array() {
    json_value v;
    v.impl_->j = nlohmann::ordered_json::array();
    return v;
}

json_value &json_value::set(std::string_view key, json_value v) {
    impl_->j[std::string(key)] = std::move(v.impl_->j);
    return *this;
}

json_value &json_value::push(json_value v) {
    impl_->j.push_back(std::move(v.impl_->j));
    return *this;
}

std::string json_value::dump() const {
    const std::string text = impl_->j.dump(2);
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(marked_open, from)) != std::string::npos;) {
        out.append(text, from, at - from);
        const size_t hex = at + marked_open.size();
        const size_t end = text.find(marked_close, hex);
        std::string bytes;
        for (size_t k = hex; k + 1 < end; k += 2)
            bytes.push_back(static_cast<char>(hex_value(text[k]) << 4 | hex_value(text[k + 1])));
        append_escaped(out, bytes);
        from = end + marked_close.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

}  // namespace velmora_pipeline
