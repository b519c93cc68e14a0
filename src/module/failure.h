// Failure and Result: how the module carries a failure as a value until the
// Python boundary, where it becomes exactly one Python exception.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "module/core_error.h"
#include "module/py_ref.h"

namespace vesper {

class Failure {
public:
    enum class Type { Runtime, TypeError, Overflow, Value, System, Timeout, Panic, Python, Core, NetworkThread };

    static Failure runtime(std::string message) { return Failure(Type::Runtime, std::move(message)); }
    static Failure type_error(std::string message) { return Failure(Type::TypeError, std::move(message)); }
    static Failure overflow(std::string message) { return Failure(Type::Overflow, std::move(message)); }
    static Failure value_error(std::string message) { return Failure(Type::Value, std::move(message)); }
    // The builtin TimeoutError of a wait that ran out.
    static Failure timeout(std::string message) { return Failure(Type::Timeout, std::move(message)); }
    static Failure panic(std::string message) { return Failure(Type::Panic, std::move(message)); }
    // A Core failure raised by the method that called the Core: the kind
    // text, raised as CoreFailure (module/core_failure.h) with the numbers.
    static Failure core(const CoreError& error) { return Failure(error, std::nullopt, std::nullopt, error.text()); }
    // A failed request: the request failure text, with its network error.
    static Failure core_request(const CoreError& error, int32_t net_error, uint32_t timeout_phase = 0) {
        Failure failure(error, net_error, std::nullopt, request_failure_text(error, net_error));
        failure.timeout_phase_ = timeout_phase;
        return failure;
    }
    // A Core failure under a text of the module's own (no network error).
    static Failure core_with_text(const CoreError& error, std::string message) {
        return Failure(error, std::nullopt, std::nullopt, std::move(message));
    }
    // A blocking wait refused on the engine's own network thread.
    static Failure network_thread(std::string message) { return Failure(Type::NetworkThread, std::move(message)); }
    // Takes the pending Python exception (a SystemError when none is set).
    // A PanicException coming back through Python resumes as a fault.
    static Failure fetch();

    Type type() const { return type_; }
    bool is_exact_type_error() const;
    // str() of the exception this failure describes; "" if that fails.
    std::string message_text() const;
    // Sets the Python exception; the caller then returns null.
    void raise() &&;

private:
    Failure(Type type, std::string message) : type_(type), message_(std::move(message)) {}
    Failure(const CoreError& error, std::optional<int32_t> net_error, std::optional<int32_t> status,
            std::string message)
        : type_(Type::Core), message_(std::move(message)), error_(error), net_error_(net_error), status_(status) {}

    Type type_;
    std::string message_;
    CoreError error_{ErrorKind::InvalidState};  // Type::Core only
    std::optional<int32_t> net_error_, status_;
    uint32_t timeout_phase_ = 0;  // HY_TIMEOUT_PHASE_*, Type::Core only
    PyRef ptype_, pvalue_, ptraceback_;  // Type::Python only
};

struct Unit {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    Failure&& failure() && { return std::get<1>(std::move(v_)); }
    const Failure& failure() const& { return std::get<1>(v_); }

private:
    std::variant<T, Failure> v_;
};

using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

#define VESPER_CAT2(a, b) a##b
#define VESPER_CAT(a, b) VESPER_CAT2(a, b)

// Returns the failure of `expr` from the enclosing function.
#define TRY_STATUS(expr)                                             \
    do {                                                             \
        auto vesper_try_result = (expr);                             \
        if (!vesper_try_result.ok()) return std::move(vesper_try_result).failure(); \
    } while (0)

// `decl` = value of `expr`, or returns its failure.
#define TRY_ASSIGN(decl, expr)                                                       \
    auto VESPER_CAT(vesper_try_, __LINE__) = (expr);                                 \
    if (!VESPER_CAT(vesper_try_, __LINE__).ok())                                     \
        return std::move(VESPER_CAT(vesper_try_, __LINE__)).failure();               \
    decl = std::move(VESPER_CAT(vesper_try_, __LINE__)).value()

}  // namespace vesper

namespace vesper {

// The status of a Core call: its failure is raised with the kind text.
inline Status core_status(uint32_t result) {
    if (auto error = check_result(result)) return Failure::core(*error);
    return ok_status();
}

}  // namespace vesper
