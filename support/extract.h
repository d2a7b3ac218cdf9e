// Chained reading of string members from one JSON object.
#pragma once

#include <string>

#include "kolt/json.h"

struct Const_Object_Throw_Extractor {
    explicit Const_Object_Throw_Extractor(const json_spirit::Object &o) : obj(o) {}

    // With throw_ set a missing or non-string member throws; without it a
    // missing member leaves `val` unchanged.
    const Const_Object_Throw_Extractor &operator()(const std::string &name, std::string &val, bool throw_) const
    {
        if (throw_)
            val = json_spirit::object_get_str_or_throw(obj, name);
        else
            json_spirit::object_get(obj, name, val);
        return *this;
    }

    const json_spirit::Object &obj;
};

inline Const_Object_Throw_Extractor extract_or_throw(const json_spirit::Object &obj)
{
    return Const_Object_Throw_Extractor(obj);
}
