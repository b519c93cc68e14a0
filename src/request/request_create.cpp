// PyEngine.request: the arguments of one exchange become a RequestConfig and
// a Core request, wrapped in a new PyRequest.
#include "module/record_fields.h"
#include "engine/py_engine.h"
#include "module/byte_buffer.h"
#include "module/enum_option.h"
#include "request/py_request.h"

namespace vesper {

namespace {

enum Param { kMethod, kUrl, kHeaders, kBody, kTimeout, kAllowRedirects, kRedirect, kCache, kPriority, kChunked };

constexpr EnumEntry kRedirectModes[] = {
    {"follow", HY_REDIRECT_FOLLOW}, {"manual", HY_REDIRECT_MANUAL}, {"error", HY_REDIRECT_ERROR}};
constexpr EnumEntry kCacheModes[] = {{"default", HY_CACHE_DEFAULT}, {"validate", HY_CACHE_VALIDATE},
                                     {"bypass", HY_CACHE_BYPASS},   {"no_store", HY_CACHE_NO_STORE},
                                     {"force", HY_CACHE_FORCE},     {"only_if_cached", HY_CACHE_ONLY_IF_CACHED}};
constexpr EnumEntry kPriorities[] = {{"default", HY_PRIORITY_DEFAULT}, {"highest", HY_PRIORITY_HIGHEST},
                                     {"medium", HY_PRIORITY_MEDIUM},   {"low", HY_PRIORITY_LOW},
                                     {"lowest", HY_PRIORITY_LOWEST},   {"idle", HY_PRIORITY_IDLE}};

struct RequestOptions {
    std::string url;
    std::string method = "GET";
    HeaderList headers;
    uint32_t body_kind = HY_BODY_NONE;
    ByteInput body;
    std::optional<Duration> timeout;
    uint32_t redirect_mode = HY_REDIRECT_FOLLOW;
    uint32_t cache_mode = HY_CACHE_DEFAULT;
    uint32_t priority = HY_PRIORITY_DEFAULT;
};

Result<std::optional<std::string>> optional_text_arg(const Args& args, size_t i) {
    if (!args.given(i)) return std::optional<std::string>();
    return args.convert(i, to_optional_text);
}

Result<RequestOptions> convert_options(const Args& args) {
    RequestOptions o;
    TRY_ASSIGN(std::string method, args.convert(kMethod, to_text));
    TRY_ASSIGN(o.url, args.convert(kUrl, to_text));
    if (args.given(kHeaders) && args[kHeaders] != Py_None) {
        TRY_ASSIGN(o.headers, args.convert(kHeaders, to_header_pairs));
    }
    // hy_request_create copies the body and runs with the interpreter lock
    // held: the bytes are lent in place.
    std::optional<ByteInput> body;
    if (args.given(kBody) && args[kBody] != Py_None) {
        TRY_ASSIGN(body, args.convert(kBody, [](PyObject* object) -> Result<std::optional<ByteInput>> {
            TRY_ASSIGN(ByteInput in, to_byte_input(object, false));
            return std::optional<ByteInput>(std::move(in));
        }));
    }
    std::optional<double> seconds;
    if (args.given(kTimeout)) {
        TRY_ASSIGN(seconds, args.convert(kTimeout, to_seconds));
    }
    bool allow_redirects = true;
    if (args.given(kAllowRedirects)) {
        TRY_ASSIGN(allow_redirects, args.convert(kAllowRedirects, to_flag));
    }
    TRY_ASSIGN(std::optional<std::string> redirect, optional_text_arg(args, kRedirect));
    TRY_ASSIGN(std::optional<std::string> cache, optional_text_arg(args, kCache));
    TRY_ASSIGN(std::optional<std::string> priority, optional_text_arg(args, kPriority));
    bool chunked = false;
    if (args.given(kChunked)) {
        TRY_ASSIGN(chunked, args.convert(kChunked, to_flag));
    }

    o.method = std::move(method);
    TRY_ASSIGN(o.timeout, check_timeout(seconds));
    // An explicit redirect mode wins over allow_redirects.
    TRY_ASSIGN(o.redirect_mode, resolve_option(redirect, kRedirectModes,
                                               allow_redirects ? HY_REDIRECT_FOLLOW : HY_REDIRECT_MANUAL,
                                               "unknown redirect mode "));
    TRY_ASSIGN(o.cache_mode, resolve_option(cache, kCacheModes, HY_CACHE_DEFAULT, "unknown cache mode "));
    TRY_ASSIGN(o.priority, resolve_option(priority, kPriorities, HY_PRIORITY_DEFAULT, "unknown priority "));
    if (chunked) {
        // A streamed body comes through upload_write only: a body given
        // here too would be dropped without a word.
        if (body) return Failure::value_error("chunked=True streams the body through upload_write; do not also pass body=");
        o.body_kind = HY_BODY_STREAM;
    } else if (body) {
        o.body_kind = HY_BODY_BYTES;
        o.body = std::move(*body);
    }
    return o;
}

Result<std::shared_ptr<RequestHandle>> create_request(hy_engine* engine, NetworkRef network, const RequestOptions& o) {
    Shared<RequestState> state = RequestHandle::new_state();
    state->set_network(std::move(network));
    state->set_manual_redirects(o.redirect_mode == HY_REDIRECT_MANUAL);

    const std::vector<HeaderEntry> headers = header_entries(o.headers);
    RequestConfig config{};
    config.size = sizeof(RequestConfig);
    config.abi = HY_ABI_VERSION;
    set_text(config.url, config.url_len, o.url);
    set_text(config.method, config.method_len, o.method);
    config.headers = headers.empty() ? nullptr : headers.data();
    config.header_count = headers.size();
    config.timeout_ms = o.timeout ? o.timeout->wait_millis() : 0;
    config.callbacks = request_callbacks(state.get());
    if (o.body_kind == HY_BODY_BYTES && o.body.size() != 0) {
        config.body = o.body.data();
        config.body_len = o.body.size();
    }
    config.body_kind = o.body_kind;
    config.cache_mode = o.cache_mode;
    config.redirect_mode = o.redirect_mode;
    config.priority = o.priority;

    hy_request* core = nullptr;
    const uint32_t result = hy_request_create(engine, &config, &core);
    return RequestHandle::created(result, core, std::move(state));
}

}  // namespace

Result<PyRef> engine_request(PyObject* engine, const Args& args) {
    TRY_ASSIGN(RequestOptions options, convert_options(args));
    TRY_ASSIGN(hy_engine* core_engine, engine_core_handle(engine));
    TRY_ASSIGN(std::shared_ptr<RequestHandle> handle, create_request(core_engine, engine_network(engine), options));
    return new_instance<RequestContents>(ClassId::Request, std::move(handle));
}

}  // namespace vesper
