#include "http/redirect.h"

#include <algorithm>
#include <span>

#include "halyard.h"
#include "text/url.h"

namespace halyard {

bool is_redirect_status(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

RedirectDecision decide_redirect(const RedirectInput& in) {
    RedirectDecision d;
    auto failed = [&](Cause cause) {
        d.fail = true;
        d.cause = cause;
        return d;
    };
    if (in.mode == HY_REDIRECT_ERROR) return failed(Cause::RedirectRefused);
    if (in.redirects_followed >= in.max_redirects) return failed(Cause::RedirectLimit);

    Resolved target = resolve_location(in.url, in.location);
    if (target.status == Resolved::Invalid) return failed(Cause::RedirectInvalid);
    if (target.status == Resolved::Unsafe) return failed(Cause::RedirectUnsafe);

    // 301/302 turn POST into GET; 303 turns everything but HEAD into GET and
    // never carries the body; 307/308 keep method and body.
    d.method = std::string(in.method);
    d.keep_body = in.has_body;
    if ((in.status == 301 || in.status == 302) && in.method == "POST") {
        d.method = "GET";
        d.keep_body = false;
    } else if (in.status == 303) {
        if (in.method != "HEAD") d.method = "GET";
        d.keep_body = false;
    }
    if (d.keep_body && in.streamed_body) return failed(Cause::RedirectNoRewind);
    d.drop_body_headers = d.method != in.method || (in.has_body && !d.keep_body);

    d.url = std::move(target.url);
    auto from = parse_url(in.url);
    auto to = parse_url(d.url);
    d.origin_changed = !from || !to || !same_origin(*from, *to);
    d.downgraded = from && to && from->scheme == "https" && to->scheme == "http";
    // Credentials of the URL go to the origin they were given for, and are
    // never reported.
    if (d.origin_changed) d.url = without_credentials(d.url);
    d.reported_url = without_credentials(d.url);
    return d;
}

HeaderList headers_for_next_hop(const HeaderList& headers, const RedirectDecision& decision) {
    static constexpr std::string_view kBodyHeaders[] = {
        "Content-Type", "Content-Length", "Content-Encoding", "Content-Language",
        "Content-Location", "Origin", "Transfer-Encoding"};
    // Secrets of the old origin (a caller's own Cookie header included: the
    // jar supplies the next origin's cookies), and the Host naming it.
    static constexpr std::string_view kOriginHeaders[] = {"Authorization", "Proxy-Authorization", "Cookie", "Host"};
    auto named = [](const Header& h, std::span<const std::string_view> names) {
        return std::any_of(names.begin(), names.end(), [&](std::string_view n) { return iequals(h.name, n); });
    };
    HeaderList out;
    for (const Header& h : headers) {
        const bool drop = (decision.drop_body_headers && named(h, kBodyHeaders)) ||
                          (decision.origin_changed && named(h, kOriginHeaders)) ||
                          (decision.downgraded && iequals(h.name, "Referer"));
        if (!drop) out.push_back(h);
    }
    return out;
}

}  // namespace halyard
