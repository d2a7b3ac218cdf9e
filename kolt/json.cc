#include "kolt/json.h"

#include <ace/Log_Msg.h>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace json_spirit {
namespace {

const char *type_name(Value_type type)
{
    switch (type) {
    case obj_type: return "object";
    case array_type: return "array";
    case str_type: return "string";
    case bool_type: return "boolean";
    case int_type: return "integer";
    case real_type: return "real";
    case null_type: break;
    }
    return "null";
}

}  // namespace

void Value::check_type(Value_type wanted) const
{
    if (type_ != wanted)
        throw std::runtime_error(std::string("value is ") + type_name(type_) + ", expected " + type_name(wanted));
}

Object &Value::get_obj()
{
    check_type(obj_type);
    return obj_;
}

const Object &Value::get_obj() const
{
    check_type(obj_type);
    return obj_;
}

const Array &Value::get_array() const
{
    check_type(array_type);
    return array_;
}

const std::string &Value::get_str() const
{
    check_type(str_type);
    return str_;
}

bool Value::get_bool() const
{
    check_type(bool_type);
    return bool_;
}

std::int64_t Value::get_int64() const
{
    check_type(int_type);
    return int_;
}

double Value::get_real() const
{
    check_type(real_type);
    return real_;
}

const Object *object_get_object(const Object &obj, const std::string &name)
{
    auto it = obj.find(name);
    if (it == obj.end())
        return nullptr;
    if (it->second.type() != obj_type)
        throw std::runtime_error("member '" + name + "' is " + type_name(it->second.type()) + ", expected object");
    return &it->second.get_obj();
}

const std::string &object_get_str_or_throw(const Object &obj, const std::string &name)
{
    auto it = obj.find(name);
    if (it == obj.end())
        throw std::runtime_error("member '" + name + "' is missing");
    if (it->second.type() != str_type)
        throw std::runtime_error("member '" + name + "' is " + type_name(it->second.type()) + ", expected string");
    return it->second.get_str();
}

void object_get(const Object &obj, const std::string &name, std::string &out)
{
    auto it = obj.find(name);
    if (it != obj.end())
        out = it->second.get_str();
}

}  // namespace json_spirit

namespace {

json_spirit::Value convert(const nlohmann::json &j)
{
    using nlohmann::json;
    switch (j.type()) {
    case json::value_t::object: {
        json_spirit::Object obj;
        for (const auto &member : j.items())
            obj.emplace(member.key(), convert(member.value()));
        return json_spirit::Value(std::move(obj));
    }
    case json::value_t::array: {
        json_spirit::Array array;
        for (const auto &element : j)
            array.push_back(convert(element));
        return json_spirit::Value(std::move(array));
    }
    case json::value_t::string: return json_spirit::Value(j.get<std::string>());
    case json::value_t::boolean: return json_spirit::Value(j.get<bool>());
    case json::value_t::number_integer: return json_spirit::Value(j.get<std::int64_t>());
    case json::value_t::number_unsigned:
        if (j.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX))
            return json_spirit::Value(static_cast<std::int64_t>(j.get<std::uint64_t>()));
        return json_spirit::Value(j.get<double>());
    case json::value_t::number_float: return json_spirit::Value(j.get<double>());
    default: return json_spirit::Value();
    }
}

// A configuration file is small; these bound what a hostile one can cost.
constexpr size_t max_json_bytes = 1024 * 1024;
constexpr int max_json_depth = 256;

// 0, or an errno value: EFBIG for a file larger than max_json_bytes (checked
// on what is read, not on a size that a special file may not report).
int read_file(const char *path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return errno ? errno : EIO;
    char buf[8192];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, in.gcount());
        if (text.size() > max_json_bytes)
            return EFBIG;
    }
    return in.bad() ? EIO : 0;
}

class Too_Deep : public std::runtime_error {
public:
    Too_Deep() : std::runtime_error("nesting deeper than " + std::to_string(max_json_depth) + " levels") {}
};

// The conversion below recurses once per level: the parser stops a file that
// nests deeper than max_json_depth before any of it is converted.
bool within_depth(int depth, nlohmann::json::parse_event_t event, nlohmann::json &)
{
    using event_t = nlohmann::json::parse_event_t;
    if ((event == event_t::object_start || event == event_t::array_start) && depth >= max_json_depth)
        throw Too_Deep();
    return true;
}

}  // namespace

bool load_json(const char *path, json_spirit::Value &out, int log_errors)
{
    std::string text;
    errno = 0;
    if (const int err = read_file(path, text)) {
        errno = err;
        if (log_errors && err == EFBIG)
            ACE_ERROR((LM_ERROR, "Failed to read JSON file %C: larger than %d bytes\n", path,
                       static_cast<int>(max_json_bytes)));
        else if (log_errors)
            ACE_ERROR((LM_ERROR, "Failed to read JSON file %C, errno=%d, %m\n", path, errno));
        return false;
    }
    try {
        out = convert(nlohmann::json::parse(text, within_depth));
    } catch (const nlohmann::json::exception &e) {
        if (log_errors)
            ACE_ERROR((LM_ERROR, "Failed to parse JSON file %C: %C\n", path, e.what()));
        return false;
    } catch (const Too_Deep &e) {
        if (log_errors)
            ACE_ERROR((LM_ERROR, "Failed to parse JSON file %C: %C\n", path, e.what()));
        return false;
    }
    return true;
}
