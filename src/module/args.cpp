#include "module/args.h"

#include <algorithm>

#include <vector>

#include "module/pytext.h"

namespace vesper {

namespace {

std::string quoted_names(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

Result<Args> Args::match(const char* owner, const char* method, const ParamList& params, PyObject* args,
                         Py_ssize_t offset, PyObject* kwargs) {
    const auto full_name = [&] { return std::string(owner) + "." + method + "()"; };
    Args matched;
    matched.names_ = params.names;
    const Py_ssize_t total = args ? PyTuple_Size(args) : 0;
    const size_t given = static_cast<size_t>(total > offset ? total - offset : 0);
    const size_t positional = std::min(params.count, params.positional);
    if (given > positional) {
        const char* verb = given == 1 ? "was" : "were";
        if (params.required == positional) {
            return Failure::type_error(full_name() + " takes " + std::to_string(positional) +
                                       " positional arguments but " + std::to_string(given) + " " + verb + " given");
        }
        return Failure::type_error(full_name() + " takes from " + std::to_string(params.required) + " to " +
                                   std::to_string(positional) + " positional arguments but " +
                                   std::to_string(given) + " " + verb + " given");
    }
    for (size_t i = 0; i < given; ++i) {
        matched.values_[i] = PyTuple_GetItem(args, offset + static_cast<Py_ssize_t>(i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            size_t index = params.count;
            for (size_t i = 0; i < params.count; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index == params.count) {
                const std::string keyword = PyUnicode_Check(key) ? message_utf8(key) : str_of(key);
                return Failure::type_error(full_name() + " got an unexpected keyword argument '" + keyword + "'");
            }
            if (matched.values_[index] != nullptr) {
                return Failure::type_error(full_name() + " got multiple values for argument '" +
                                           params.names[index] + "'");
            }
            matched.values_[index] = value;
        }
    }
    std::vector<const char*> missing;
    for (size_t i = 0; i < params.required; ++i) {
        if (matched.values_[i] == nullptr) missing.push_back(params.names[i]);
    }
    if (!missing.empty()) {
        return Failure::type_error(full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_names(missing));
    }
    return matched;
}

}  // namespace vesper
