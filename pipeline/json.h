// JSON reports (the --summary and --json files), built value by value.
//
// nlohmann-json does the work behind this class: its headers are heavy to
// compile, so only json.cpp includes them.  Objects keep their keys in the
// order they were set, so reports read in a fixed, meaningful order.
#ifndef VELMORA_PIPELINE_JSON_H
#define VELMORA_PIPELINE_JSON_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmora_pipeline {

class json_value {
public:
    json_value();  // null
    json_value(std::nullptr_t) : json_value() {}
    json_value(bool v);
    json_value(double v);
    json_value(const char *v) : json_value(std::string_view(v)) {}
    json_value(const std::string &v) : json_value(std::string_view(v)) {}
    json_value(std::string_view v);
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    json_value(T v) : json_value(signed_number{static_cast<int64_t>(v)}) {}
    template <class T,
              std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>, int> = 0>
    json_value(T v) : json_value(unsigned_number{static_cast<uint64_t>(v)}) {}
    json_value(const json_value &other);
    json_value(json_value &&other) noexcept;
    json_value &operator=(const json_value &other);
    json_value &operator=(json_value &&other) noexcept;
    ~json_value();

    // A file name, which may hold any bytes but NUL.  Valid UTF-8 is written
    // as it is; each byte that is not part of valid UTF-8 is written as the
    // escape \udcXX (XX the byte's value), the lone surrogate U+DC80 +
    // (XX - 0x80) by which Python's os.fsdecode carries such bytes, so that
    // os.fsencode(json.load(f)[key]) gives the name back byte for byte.
    static json_value path(std::string_view bytes);
    static json_value object();
    static json_value array();
    // Adds or replaces a member of an object.
    json_value &set(std::string_view key, json_value v);
    // Appends to an array.
    json_value &push(json_value v);
    // Indented by two spaces, without a final newline.
    std::string dump() const;

private:
    struct impl;
    struct signed_number {
        int64_t v;
    };
    struct unsigned_number {
        uint64_t v;
    };
    explicit json_value(signed_number n);
    explicit json_value(unsigned_number n);
    std::unique_ptr<impl> impl_;
};

}  // namespace velmora_pipeline

#endif
