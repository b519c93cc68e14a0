// Where a hub tries QUIC for an HTTPS origin, as browsers decide it: the
// h3 alternative an Alt-Svc answer advertised (else the origin's own host
// and port, over UDP), unless a QUIC attempt there failed recently; such
// a failure marks the alternative broken for 5 minutes, doubling with each
// failure in a row.  Network thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace halyard {

struct QuicTarget {
    std::string host;  // where the QUIC connection goes (the TLS name stays the origin's)
    std::string port;
    bool advertised = false;  // from Alt-Svc, not guessed
    bool operator==(const QuicTarget&) const = default;
};

// The first "h3" alternative of an Alt-Svc value for an origin on
// `origin_host`: nothing for "clear" (clear is true then) or when none is
// usable.  `max_age` receives ma= (24 hours when absent).
struct AltSvcH3 {
    bool clear = false;
    std::optional<QuicTarget> target;
    std::chrono::seconds max_age{86400};
};
AltSvcH3 parse_alt_svc_h3(std::string_view value, std::string_view origin_host);

class QuicOrigins {
public:
    using Clock = std::chrono::steady_clock;
    // Bounds the memory a stream of distinct origins can take.
    static constexpr size_t kMaxEntries = 1024;

    // An Alt-Svc field value received over TCP from `origin` (host:port).
    void on_alt_svc(const std::string& origin, std::string_view origin_host, std::string_view value,
                    Clock::time_point now);
    // Where to try QUIC for `origin`; nothing while that place is broken.
    std::optional<QuicTarget> target(const std::string& origin, std::string_view host, std::string_view port,
                                     Clock::time_point now) const;
    void mark_broken(const std::string& origin, const QuicTarget& target, Clock::time_point now);
    void mark_working(const std::string& origin, const QuicTarget& target);
    size_t size() const { return advertised_.size() + broken_.size(); }

private:
    struct Advertised {
        QuicTarget target;
        Clock::time_point expires;
    };
    struct Broken {
        int failures = 0;
        Clock::time_point until;
    };
    static std::string broken_key(const std::string& origin, const QuicTarget& target);
    template <typename Map>
    static void make_room(Map& map, Clock::time_point now);

    std::unordered_map<std::string, Advertised> advertised_;
    std::unordered_map<std::string, Broken> broken_;
};

}  // namespace halyard
