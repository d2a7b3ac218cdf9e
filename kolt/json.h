// The launcher's JSON value model: objects are maps ordered byte-wise by key.
// Type mismatches and missing required members throw std::runtime_error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace json_spirit {

enum Value_type { obj_type, array_type, str_type, bool_type, int_type, real_type, null_type };

class Value;
using Object = std::map<std::string, Value>;
using Array = std::vector<Value>;

class Value {
public:
    Value() = default;
    explicit Value(Object o) : type_(obj_type), obj_(std::move(o)) {}
    explicit Value(Array a) : type_(array_type), array_(std::move(a)) {}
    explicit Value(std::string s) : type_(str_type), str_(std::move(s)) {}
    explicit Value(bool b) : type_(bool_type), bool_(b) {}
    explicit Value(std::int64_t i) : type_(int_type), int_(i) {}
    explicit Value(double d) : type_(real_type), real_(d) {}

    Value_type type() const { return type_; }
    bool is_null() const { return type_ == null_type; }

    Object &get_obj();
    const Object &get_obj() const;
    const Array &get_array() const;
    const std::string &get_str() const;
    bool get_bool() const;
    std::int64_t get_int64() const;
    double get_real() const;

private:
    void check_type(Value_type wanted) const;

    Value_type type_ = null_type;
    Object obj_;
    Array array_;
    std::string str_;
    bool bool_ = false;
    std::int64_t int_ = 0;
    double real_ = 0;
};

// The member's object; null when there is no such member. A member of another
// type throws, like every other type mismatch.
const Object *object_get_object(const Object &obj, const std::string &name);

// The member's string; throws when it is missing or not a string.
const std::string &object_get_str_or_throw(const Object &obj, const std::string &name);

// Sets `out` to the member's string when there is one; throws when the member
// has another type; leaves `out` alone when there is no member.
void object_get(const Object &obj, const std::string &name, std::string &out);

}  // namespace json_spirit

// Reads and parses the JSON file at `path` into `out`. With `log_errors` set, an
// unreadable file or a syntax error (with its line and column) is logged at
// LM_ERROR. True on success.
bool load_json(const char *path, json_spirit::Value &out, int log_errors);
