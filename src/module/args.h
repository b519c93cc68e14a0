// Matching a call's positional and keyword arguments to named parameters.
#pragma once

#include <cstdint>

#include <cstddef>
#include <string>

#include "module/failure.h"

namespace vesper {

struct ParamList {
    const char* const* names;
    size_t count;
    size_t required;  // the leading `required` parameters must be given
    // Parameters after the first `positional` are keyword-only (additions to
    // a signature whose positional form is fixed).
    size_t positional = SIZE_MAX;
};

// The arguments of one call, matched to parameters; absent ones are null.
class Args {
public:
    static constexpr size_t kMax = 16;

    // Matches `args[offset:]` and `kwargs` to `params` of the method
    // `owner`.`method` (named in the messages as "Owner.method()").
    static Result<Args> match(const char* owner, const char* method, const ParamList& params, PyObject* args,
                              Py_ssize_t offset, PyObject* kwargs);

    PyObject* operator[](size_t i) const { return values_[i]; }
    bool given(size_t i) const { return values_[i] != nullptr; }

    // Runs a conversion on parameter i; a TypeError it raises is reported as
    // "argument '<name>': <message>".
    template <class Convert>
    auto convert(size_t i, Convert&& convert) const -> decltype(convert(static_cast<PyObject*>(nullptr))) {
        auto result = convert(values_[i]);
        if (result.ok() || !result.failure().is_exact_type_error()) return result;
        return Failure::type_error(std::string("argument '") + names_[i] + "': " + result.failure().message_text());
    }

private:
    PyObject* values_[kMax] = {};
    const char* const* names_ = nullptr;
};

}  // namespace vesper
