// json_value over nlohmann::ordered_json; the only translation unit that
// includes its headers.
#include "json.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace velmora_tool {

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

std::string json_value::dump() const { return impl_->j.dump(2); }

}  // namespace velmora_tool
