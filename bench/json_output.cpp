#include "bench/json_output.h"

#include <cstdio>

namespace bench {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

void JsonObject::add(const std::string& name, double value) {
    if (!fields_.empty()) fields_ += ", ";
    fields_ += "\"" + name + "\": " + number(value);
}

void JsonObject::add(const std::string& name, const std::vector<double>& values) {
    if (!fields_.empty()) fields_ += ", ";
    fields_ += "\"" + name + "\": [";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) fields_ += ", ";
        fields_ += number(values[i]);
    }
    fields_ += "]";
}

void JsonObject::print() const {
    std::printf("{%s}\n", fields_.c_str());
    std::fflush(stdout);
}

}  // namespace bench
