// PyEngine: construction of a Core engine and the class's static questions.
#include <cstring>

#include "module/record_fields.h"
#include "engine/engine_handle.h"
#include "engine/engine_options.h"
#include "engine/py_engine.h"
#include "module/class_object.h"
#include "module/core_extensions.h"
#include "module/convert.h"
#include "module/pytext.h"

namespace vesper {

namespace {

constexpr const char* kParamNames[] = {"impersonate",    "proxy",          "verify",       "ca_pem",
                                       "user_agent",     "accept_language", "proxy_username", "proxy_password",
                                       "http_version",   "cache",          "profile_namespace", "options",
                                       "client_cert",    "client_key",     "key_password"};
// The certificate's three are keyword-only: the twelve before keep their
// positional form.
constexpr ParamList kParams = {kParamNames, 15, 0, 12};
static_assert(kParams.count <= Args::kMax);

constexpr const char* kNoEngineOptions =
    "this Core takes no engine options (hy_engine_create_with_options is missing)";

struct EngineOptions {
    std::string impersonate;
    std::string proxy;
    std::string user_agent;
    std::string accept_language;
    std::string proxy_username;
    std::string proxy_password;
    std::string profile_namespace;
    bool verify = true;
    bool cache = true;
    std::optional<Bytes> ca_pem;
    uint32_t http_version = HY_HTTP_AUTO;
    // Named options beyond the record: "name=value" lines.
    std::string options;
    // A client certificate (PEM chain, PEM key or none: in the chain, the
    // key's password): through the Core's extension.
    std::optional<Bytes> client_cert;
    std::optional<Bytes> client_key;
    std::optional<Bytes> key_password;
};

// (name, value) pairs as the option text; a name or value that would cut
// the text differently is refused here, the Core checks the rest.
Result<std::string> option_text(PyObject* object) {
    TRY_ASSIGN(HeaderList pairs, to_header_pairs(object));
    std::string text;
    for (const auto& [name, value] : pairs) {
        if (name.empty() || name.find_first_of("=\n") != std::string::npos ||
            value.find('\n') != std::string::npos)
            return Failure::value_error("engine option names have no '=' or line end, values no line end");
        text.append(name).append("=").append(value).append("\n");
    }
    return text;
}

Status optional_bytes(const Args& args, size_t i, std::optional<Bytes>& out) {
    if (!args.given(i) || args[i] == Py_None) return ok_status();
    TRY_ASSIGN(Bytes value, args.convert(i, to_bytes));
    out = std::move(value);
    return ok_status();
}

// Why the Core refused a client certificate, naming the argument.
std::string client_certificate_problem(uint32_t problem) {
    switch (problem) {
    case HY_CLIENT_CERT_BAD_CHAIN: return "client_cert: no PEM certificate could be read";
    case HY_CLIENT_CERT_BAD_KEY: return "client_key: no PEM private key could be read";
    case HY_CLIENT_CERT_WRONG_PASSWORD: return "key_password: the private key is encrypted and the password is missing or wrong";
    case HY_CLIENT_CERT_KEY_MISMATCH: return "client_key: the private key does not belong to the client certificate";
    case HY_CLIENT_CERT_SHARED: return "client_cert: an engine with a client certificate cannot join a profile_namespace";
    default: return "client_cert: refused by the Core";
    }
}

Status optional_text(const Args& args, size_t i, std::string& out) {
    if (!args.given(i)) return ok_status();
    TRY_ASSIGN(std::optional<std::string> text, args.convert(i, to_optional_text));
    if (text) out = std::move(*text);
    return ok_status();
}

Result<EngineOptions> convert_options(const Args& args) {
    EngineOptions o;
    std::optional<std::string> http_version;
    TRY_STATUS(optional_text(args, 0, o.impersonate));
    TRY_STATUS(optional_text(args, 1, o.proxy));
    if (args.given(2)) {
        TRY_ASSIGN(o.verify, args.convert(2, to_flag));
    }
    if (args.given(3) && args[3] != Py_None) {
        TRY_ASSIGN(Bytes pem, args.convert(3, to_bytes));
        o.ca_pem = std::move(pem);
    }
    TRY_STATUS(optional_text(args, 4, o.user_agent));
    TRY_STATUS(optional_text(args, 5, o.accept_language));
    TRY_STATUS(optional_text(args, 6, o.proxy_username));
    TRY_STATUS(optional_text(args, 7, o.proxy_password));
    if (args.given(8)) {
        TRY_ASSIGN(http_version, args.convert(8, to_optional_text));
    }
    if (args.given(9)) {
        TRY_ASSIGN(o.cache, args.convert(9, to_flag));
    }
    TRY_STATUS(optional_text(args, 10, o.profile_namespace));
    if (args.given(11) && args[11] != Py_None) {
        TRY_ASSIGN(o.options, option_text(args[11]));
    }
    TRY_STATUS(optional_bytes(args, 12, o.client_cert));
    TRY_STATUS(optional_bytes(args, 13, o.client_key));
    TRY_STATUS(optional_bytes(args, 14, o.key_password));
    if (!o.client_cert && (o.client_key || o.key_password))
        return Failure::value_error("client_key and key_password need client_cert");
    // The Core creates an engine with options or with a client certificate,
    // not yet with both.
    if (o.client_cert && !o.options.empty())
        return Failure::value_error("client_cert: an engine with a client certificate takes no engine options yet");
    o.impersonate = normalise_profile(std::move(o.impersonate));
    TRY_ASSIGN(o.http_version, resolve_http_version(http_version));
    return o;
}

Result<EngineRef> create_engine(const EngineOptions& o) {
    if (hy_abi_version() != HY_ABI_VERSION) return Failure::core(CoreError{ErrorKind::UnsupportedAbi});
    EngineConfig config{};
    config.size = sizeof(EngineConfig);
    config.abi = HY_ABI_VERSION;
    set_text(config.user_agent, config.user_agent_len, o.user_agent);
    set_text(config.proxy, config.proxy_len, o.proxy);
    set_text(config.proxy_username, config.proxy_username_len, o.proxy_username);
    set_text(config.proxy_password, config.proxy_password_len, o.proxy_password);
    config.cache_disabled = o.cache ? 0 : 1;
    set_text(config.accept_language, config.accept_language_len, o.accept_language);
    set_text(config.impersonate, config.impersonate_len, o.impersonate);
    set_text(config.profile_namespace, config.profile_namespace_len, o.profile_namespace);
    config.http_version = o.http_version;
    config.tls_verify = tls_verify_mode(o.verify, o.ca_pem.has_value());
    if (o.ca_pem) set_bytes(config.ca_bundle, config.ca_bundle_len, *o.ca_pem);
    hy_engine* engine = nullptr;
    uint32_t result = HY_OK;
    if (o.client_cert) {
        const auto create = core_extensions().engine_create_with_client_certificate;
        if (create == nullptr)
            return Failure::value_error("client_cert: this Core has no client certificates "
                                        "(hy_engine_create_with_client_certificate)");
        const auto bytes = [](const std::optional<Bytes>& b) {
            return b ? b->data() : nullptr;
        };
        const auto size = [](const std::optional<Bytes>& b) { return b ? static_cast<uint64_t>(b->size()) : 0u; };
        uint32_t problem = HY_CLIENT_CERT_OK;
        result = create(&config, bytes(o.client_cert), size(o.client_cert), bytes(o.client_key), size(o.client_key),
                        bytes(o.key_password), size(o.key_password), &problem, &engine);
        if (result == HY_INVALID_ARGUMENT && problem != HY_CLIENT_CERT_OK)
            return Failure::value_error(client_certificate_problem(problem));
    } else if (o.options.empty()) {
        result = hy_engine_create(&config, &engine);
    } else {
        const auto create = core_extensions().engine_create_with_options;
        if (create == nullptr) return Failure::runtime(kNoEngineOptions);
        result = create(&config, o.options.data(), o.options.size(), &engine);
    }
    if (result != HY_OK || engine == nullptr) return Failure::core(creation_error(result));
    // A failed allocation of the owner must not leave a network thread
    // running for ever.
    try {
        return std::make_shared<EngineHandle>(engine);
    } catch (const std::bad_alloc&) {
        hy_engine_release(engine);
        PyErr_NoMemory();
        return Failure::fetch();
    }
}

PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> Result<PyRef> {
        TRY_ASSIGN(Args matched, Args::match("PyEngine", "__new__", kParams, args, 0, kwargs));
        TRY_ASSIGN(EngineOptions options, convert_options(matched));
        TRY_ASSIGN(EngineRef handle, create_engine(options));
        NetworkRef network = network_for_engine(options.profile_namespace);
        return new_instance<EngineContents>(ClassId::Engine, EngineContents{std::move(handle), std::move(network)});
    });
}

PyObject* abi_version(PyObject*, PyObject*) {
    return python_boundary([]() -> Result<PyRef> { return make_int(HY_ABI_VERSION); });
}

PyObject* core_version(PyObject*, PyObject*) {
    return python_boundary([]() -> Result<PyRef> {
        const char* text = hy_version_string();
        if (text == nullptr) return PyRef::borrow(Py_None);
        PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
        if (!decoded) return Failure::fetch();
        return decoded;
    });
}

PyMethodDef g_static_methods[] = {
    {"abi_version", abi_version, METH_NOARGS | METH_STATIC, nullptr},
    {"core_version", core_version, METH_NOARGS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

NetworkRef engine_network(PyObject* engine) { return contents_of<EngineContents>(engine).network; }

Result<hy_engine*> engine_core_handle(PyObject* engine) {
    const EngineHandle& handle = *contents_of<EngineContents>(engine).handle;
    TRY_STATUS(check_process(handle.owner()));
    return handle.get();
}

const ClassDef kEngineClass = {
    "PyEngine",
    ClassId::Engine,
    instance_size<EngineContents>(),
    dealloc_instance<EngineContents>,
    construct,
    kEngineMethods,
    kEngineMethodCount,
    g_static_methods,
    nullptr,
};

}  // namespace vesper
