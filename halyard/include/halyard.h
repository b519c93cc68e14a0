/*
 * halyard: the Core's C interface.
 *
 * This header is the whole contract between the Core (libhalyard.so) and
 * its callers: result codes, the size-prefixed configuration records, the
 * callback types and the functions.  It is valid C and C++.
 *
 * Seventeen functions are the interface every Core offers.  The others
 * are extensions: each comes with a pointer type (hy_<name>_fn) so that a
 * caller that must load beside a Core without them can look them up at
 * run time instead of linking them.  Such a caller defines
 * HY_NO_EXTENSION_PROTOTYPES, which leaves their prototypes out so that a
 * direct call does not compile.  Extensions: hy_request_upload_push,
 * hy_request_upload_wait, hy_request_record_sent_heads,
 * hy_request_sent_heads, hy_request_set_upload_length,
 * hy_request_set_max_redirects, hy_request_from_cache,
 * hy_websocket_set_deflate, hy_engine_create_with_options,
 * hy_engine_cookies, hy_engine_create_with_client_certificate,
 * hy_request_start_driven, hy_request_drive, hy_websocket_drive,
 * hy_request_set_timeouts, hy_request_timeout_phase, hy_engine_loop_attach,
 * hy_engine_loop_drive, hy_engine_loop_detach, hy_websocket_take_message,
 * hy_message_release, hy_websocket_set_timeouts, hy_websocket_timeout_phase,
 * hy_websocket_send_driven.
 *
 * Conventions
 *  - Every record starts with its size in bytes and the interface version
 *    (HY_ABI_VERSION).  Records only borrow: their pointers need to stay
 *    valid for the duration of the create call; the Core copies what it
 *    keeps.
 *  - Texts and byte strings are a pointer plus a uint64_t length and are
 *    never NUL-terminated.  A length of 0 means "absent"; the Core never
 *    reads a pointer whose length is 0.
 *  - Functions that can fail return a uint32_t result code (HY_OK on
 *    success).  Release functions return nothing.
 *  - Callbacks run on the engine's network thread (or on a caller's thread
 *    that runs the loop through hy_request_drive or hy_websocket_drive, or
 *    on an attached event loop's thread inside hy_engine_loop_drive, as
 *    they would on the network thread).  Each receives the
 *    context pointer given in its callbacks record first and the Core's
 *    own handle second; byte ranges passed to a callback are valid only
 *    during that call.
 */
#ifndef HALYARD_H
#define HALYARD_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(HALYARD_BUILDING)
#    define HY_API __declspec(dllexport)
#  else
#    define HY_API __declspec(dllimport)
#  endif
#else
#  define HY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define HY_ABI_VERSION 8u

/* Result codes.  Anything outside 0..15 is a code the caller does not know. */
enum {
    HY_OK = 0,
    HY_INVALID_ARGUMENT = 1,
    HY_UNSUPPORTED_ABI = 2,
    HY_OUT_OF_MEMORY = 3,
    HY_INITIALIZATION_FAILED = 4,
    HY_INVALID_STATE = 5,
    HY_TIMEOUT = 6,
    HY_CANCELED = 7,
    HY_NETWORK = 8,
    HY_TLS = 9,
    HY_PROXY = 10,
    HY_PROTOCOL = 11,
    HY_REDIRECT = 12,
    HY_CACHE_MISS = 13,
    HY_PROFILE_CONFLICT = 14,
    HY_PROFILE_UNSUPPORTED = 15
};

/* HttpVersion values of EngineConfig.http_version. */
enum { HY_HTTP_AUTO = 0, HY_HTTP_1_1 = 1, HY_HTTP_2 = 2, HY_HTTP_3 = 3 };

/* TlsVerifyMode values of EngineConfig.tls_verify. */
enum { HY_TLS_SYSTEM_ROOTS = 0, HY_TLS_CA_BUNDLE = 1, HY_TLS_NO_VERIFY = 2 };

/* Body kinds of RequestConfig.body_kind. */
enum { HY_BODY_NONE = 0, HY_BODY_BYTES = 1, HY_BODY_STREAM = 2 };

/* RedirectMode values. */
enum { HY_REDIRECT_FOLLOW = 0, HY_REDIRECT_MANUAL = 1, HY_REDIRECT_ERROR = 2 };

/* CacheMode values. */
enum {
    HY_CACHE_DEFAULT = 0,
    HY_CACHE_VALIDATE = 1,
    HY_CACHE_BYPASS = 2,
    HY_CACHE_NO_STORE = 3,
    HY_CACHE_FORCE = 4,
    HY_CACHE_ONLY_IF_CACHED = 5
};

/* RequestPriority values. */
enum {
    HY_PRIORITY_DEFAULT = 0,
    HY_PRIORITY_HIGHEST = 1,
    HY_PRIORITY_MEDIUM = 2,
    HY_PRIORITY_LOW = 3,
    HY_PRIORITY_LOWEST = 4,
    HY_PRIORITY_IDLE = 5
};

/* WebSocket message types (hy_websocket_send, on_message). */
enum { HY_WS_TEXT = 1, HY_WS_BINARY = 2 };

/* hy_websocket_set_deflate flags. */
enum {
    HY_DEFLATE_OFF = 1,                         /* no permessage-deflate offer */
    HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER = 2,
    HY_DEFLATE_SERVER_NO_CONTEXT_TAKEOVER = 4
};

/* Timeout phases (hy_request_set_timeouts, hy_request_timeout_phase,
 * hy_websocket_set_timeouts, hy_websocket_timeout_phase). */
enum {
    HY_TIMEOUT_PHASE_NONE = 0,      /* the request did not time out */
    HY_TIMEOUT_PHASE_CONNECT = 1,   /* connecting: TCP, proxy, TLS */
    HY_TIMEOUT_PHASE_READ = 2,      /* no response byte for read_ms */
    HY_TIMEOUT_PHASE_WRITE = 3,     /* no body byte sent for write_ms */
    HY_TIMEOUT_PHASE_POOL = 4,      /* waiting for a connection slot */
    HY_TIMEOUT_PHASE_TOTAL = 5,     /* RequestConfig / WebSocketConfig timeout_ms */
    HY_TIMEOUT_PHASE_HANDSHAKE = 6  /* a WebSocket's upgrade unanswered for handshake_ms */
};

/* on_data answers. */
enum { HY_DATA_PAUSE = 0, HY_DATA_CONTINUE = 1 };

typedef struct hy_engine hy_engine;
typedef struct hy_request hy_request;
typedef struct hy_websocket hy_websocket;
typedef struct hy_message hy_message;

/* ---------------------------------------------------------------- records */

typedef struct HeaderEntry {
    const char *name;
    uint64_t name_len;
    const char *value;
    uint64_t value_len;
} HeaderEntry;

typedef struct ProtocolEntry {
    const char *text;
    uint64_t text_len;
} ProtocolEntry;

typedef struct EngineConfig {
    uint32_t size;              /* sizeof(EngineConfig) */
    uint32_t abi;               /* HY_ABI_VERSION */
    const char *user_agent;
    uint64_t user_agent_len;
    const char *proxy;
    uint64_t proxy_len;
    const char *proxy_username;
    uint64_t proxy_username_len;
    const char *proxy_password;
    uint64_t proxy_password_len;
    uint32_t cache_disabled;    /* 1: no HTTP cache */
    uint32_t reserved0;         /* padding, not read */
    const char *accept_language;
    uint64_t accept_language_len;
    const char *impersonate;    /* impersonation profile name */
    uint64_t impersonate_len;
    const char *profile_namespace;
    uint64_t profile_namespace_len;
    uint32_t http_version;      /* HY_HTTP_* */
    uint32_t tls_verify;        /* HY_TLS_* */
    const uint8_t *ca_bundle;   /* PEM text, used with HY_TLS_CA_BUNDLE */
    uint64_t ca_bundle_len;
} EngineConfig;

/* Request callbacks; `request` is the Core's handle of the request. */
typedef void (*hy_on_response_fn)(void *context, hy_request *request, int32_t status,
                                  const uint8_t *head, uint64_t head_len);
/* Returns HY_DATA_CONTINUE, or HY_DATA_PAUSE to stop reading until
 * hy_request_resume_read.  The chunk counts as delivered either way. */
typedef int32_t (*hy_on_data_fn)(void *context, hy_request *request, const uint8_t *data,
                                 uint64_t len);
typedef void (*hy_on_complete_fn)(void *context, hy_request *request, uint32_t result,
                                  int32_t net_error);
typedef void (*hy_on_redirect_fn)(void *context, hy_request *request, int32_t status,
                                  const uint8_t *raw, uint64_t raw_len, const char *location,
                                  uint64_t location_len, const char *method,
                                  uint64_t method_len);

typedef struct RequestCallbacks {
    uint32_t size;              /* sizeof(RequestCallbacks) */
    uint32_t abi;               /* HY_ABI_VERSION */
    void *context;
    hy_on_response_fn on_response;
    hy_on_data_fn on_data;
    hy_on_complete_fn on_complete;
    hy_on_redirect_fn on_redirect;
} RequestCallbacks;

typedef struct RequestConfig {
    uint32_t size;              /* sizeof(RequestConfig) */
    uint32_t abi;               /* HY_ABI_VERSION */
    const char *url;
    uint64_t url_len;
    const char *method;
    uint64_t method_len;
    const HeaderEntry *headers; /* null when header_count is 0 */
    uint64_t header_count;
    uint64_t timeout_ms;        /* 0: no timeout */
    RequestCallbacks callbacks;
    const uint8_t *body;        /* HY_BODY_BYTES only */
    uint64_t body_len;
    uint32_t body_kind;         /* HY_BODY_* */
    uint32_t cache_mode;        /* HY_CACHE_* */
    uint32_t redirect_mode;     /* HY_REDIRECT_* */
    uint32_t priority;          /* HY_PRIORITY_* */
} RequestConfig;

/* The phase limits of hy_request_set_timeouts, in milliseconds; 0: none. */
typedef struct RequestTimeouts {
    uint32_t size;              /* sizeof(RequestTimeouts) */
    uint32_t abi;               /* HY_ABI_VERSION */
    uint64_t connect_ms;
    uint64_t read_ms;
    uint64_t write_ms;
    uint64_t pool_ms;
} RequestTimeouts;

/* WebSocket callbacks; `socket` is the Core's handle of the connection. */
typedef void (*hy_on_open_fn)(void *context, hy_websocket *socket, const char *protocol,
                              uint64_t protocol_len, const char *extensions,
                              uint64_t extensions_len);
typedef void (*hy_on_message_fn)(void *context, hy_websocket *socket, uint32_t type,
                                 uint32_t flags, const uint8_t *data, uint64_t len);
typedef void (*hy_on_closing_fn)(void *context, hy_websocket *socket);
typedef void (*hy_on_close_fn)(void *context, hy_websocket *socket, uint32_t flags,
                               uint16_t code, const char *reason, uint64_t reason_len);
typedef void (*hy_on_error_fn)(void *context, hy_websocket *socket, uint32_t result,
                               int32_t net_error, int32_t response, const char *message,
                               uint64_t message_len);

typedef struct WebSocketCallbacks {
    uint32_t size;              /* sizeof(WebSocketCallbacks) */
    uint32_t abi;               /* HY_ABI_VERSION */
    void *context;
    hy_on_open_fn on_open;
    hy_on_message_fn on_message;
    hy_on_closing_fn on_closing;
    hy_on_close_fn on_close;    /* terminal */
    hy_on_error_fn on_error;    /* terminal */
} WebSocketCallbacks;

typedef struct WebSocketConfig {
    uint32_t size;              /* sizeof(WebSocketConfig) */
    uint32_t abi;               /* HY_ABI_VERSION */
    const char *url;
    uint64_t url_len;
    const char *origin;         /* not read when origin_len is 0 */
    uint64_t origin_len;
    const ProtocolEntry *protocols; /* null when protocol_count is 0 */
    uint64_t protocol_count;
    const HeaderEntry *headers; /* null when header_count is 0 */
    uint64_t header_count;
    WebSocketCallbacks callbacks;
    uint64_t timeout_ms;        /* 0: no timeout */
} WebSocketConfig;

/* The phase limits of hy_websocket_set_timeouts, in milliseconds; 0: none. */
typedef struct WebSocketTimeouts {
    uint32_t size;              /* sizeof(WebSocketTimeouts) */
    uint32_t abi;               /* HY_ABI_VERSION */
    uint64_t connect_ms;
    uint64_t handshake_ms;
} WebSocketTimeouts;

/* -------------------------------------------------------------- functions */

/*
 * Each function below says, in this order:
 *   Owns     who owns what it is given and what it hands back;
 *   Threads  which threads may call it, and where its callbacks run;
 *   Blocks   whether it may wait, and for what.
 * "Any thread" includes the engine's network thread, that is, a call made
 * from inside one of the Core's callbacks.  A handle may be used from
 * several threads at once, but never after its release call began.
 * Behaviour (what is sent, which codes mean what, limits) is in
 * halyard/README.md; this header says only how to call.
 */

/*
 * hy_abi_version: the HY_ABI_VERSION the library was built with; a caller
 * built against another value must not pass it records.
 * Owns: nothing.  Threads: any.  Blocks: no.
 */
HY_API uint32_t hy_abi_version(void);

/*
 * hy_version_string: "halyard/<version> libcurl/<version>".
 * Owns: the NUL-terminated text is the Core's, valid for the life of the
 * process; the caller must not free it.  Null only when the Core could not
 * build it (out of memory).
 * Threads: any.  Blocks: no.
 */
HY_API const char *hy_version_string(void);

/*
 * hy_engine_create: checks *config and makes an engine: its settings, and
 * a network thread (or a share of its namespace's thread).
 * Owns: *config and everything it points to are only read during the
 * call (texts and the CA bundle are copied).  On HY_OK, *out is a new
 * engine handle the caller owns and gives back with hy_engine_release; on
 * any other code *out is set to null and nothing was made.
 * Threads: any.  Callbacks: none.
 * Blocks: no network work; it may take the namespace table's lock for a
 * moment and starts the network thread without waiting for it.
 */
HY_API uint32_t hy_engine_create(const EngineConfig *config, hy_engine **out);

/*
 * hy_engine_release: gives up the engine handle.  Requests and WebSockets
 * made from it keep working and may still be started; the network thread
 * ends by itself once the last of them is released and finished.
 * Owns: `engine` is invalid when the call returns.  Null is ignored.
 * Threads: any.  Blocks: no; nothing waits for the network thread.
 */
HY_API void hy_engine_release(hy_engine *engine);

/*
 * hy_engine_create_with_options (extension): hy_engine_create, with named
 * options beyond the record: `options` holds "name=value" lines separated
 * by '\n' (names: max_connections, max_connections_per_host,
 * max_keepalive_connections, keepalive_expiry_ms, resolve (repeatable,
 * "host:port:address"), ip_version ("4", "6", "any"), doh_url); their
 * meaning is in halyard/README.md.  An unknown name or a bad value gives
 * HY_INVALID_ARGUMENT and makes nothing.
 * Owns, Threads, Blocks: as hy_engine_create; `options` (null with length
 * 0 for none) is only read during the call.
 */
typedef uint32_t (*hy_engine_create_with_options_fn)(const EngineConfig *, const char *, uint64_t, hy_engine **);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_create_with_options(const EngineConfig *config, const char *options,
                                              uint64_t options_len, hy_engine **out);
#endif

/*
 * hy_engine_cookies (extension): the engine's cookie jar (the one its
 * namespace shares).  First applies `command` when it is not empty: one
 * cookies.txt (Netscape) line, stored, or deleting the cookie of that
 * domain, path and name when its expiry is past; or "ALL", which empties
 * the jar.  Then lists the jar: one cookies.txt line per cookie, each
 * ended by '\n'.
 * Owns: `command` is only read during the call; `buffer` is the caller's:
 * up to `capacity` bytes are written (null with `capacity` 0 asks only for
 * the length).  *len receives the list's length; when it is over
 * `capacity` only the first `capacity` bytes were copied.
 * Results: HY_INVALID_ARGUMENT for a null `len`, a command with a line
 * end or NUL, or one curl refuses.
 * Threads: any.  Blocks: until the engine's network thread has done it
 * (between two rounds of its loop).
 */
typedef uint32_t (*hy_engine_cookies_fn)(hy_engine *, const char *, uint64_t, uint8_t *, uint64_t, uint64_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_cookies(hy_engine *engine, const char *command, uint64_t command_len, uint8_t *buffer,
                                  uint64_t capacity, uint64_t *len);
#endif

/*
 * hy_request_create: checks and copies *config; nothing is sent before
 * hy_request_start.
 * Owns: *config, its texts, headers and byte body are only read during
 * the call.  The callbacks' `context` is the caller's: the Core passes it
 * back and never frees it.  On HY_OK, *out is a new request handle the
 * caller owns and gives back with hy_request_release; otherwise *out is
 * set to null.  The request keeps its engine's internals alive.
 * Threads: any.  Callbacks: none (a request never started reports
 * nothing).  Blocks: no.
 */
HY_API uint32_t hy_request_create(hy_engine *engine, const RequestConfig *config,
                                  hy_request **out);

/*
 * hy_request_start: sends the request.
 * Threads: any.  Callbacks: from then on on_redirect, on_response,
 * on_data and finally exactly one on_complete, all on the engine's
 * network thread, one at a time, with no Core lock held; the `request`
 * they receive stays valid until on_complete returns.  A callback may call
 * any hy_request_* function; what acts on the transfer (cancel, resume,
 * follow, release) takes effect after the callback returns.
 * Blocks: no; posts a command to the network thread.
 */
HY_API uint32_t hy_request_start(hy_request *request);

/*
 * hy_request_cancel: ends a running request (its on_complete still comes,
 * from the network thread); before start, forbids the start.
 * Threads: any.  Blocks: no; posts a command.
 */
HY_API uint32_t hy_request_cancel(hy_request *request);

/*
 * hy_request_resume_read: receiving goes on after on_data answered
 * HY_DATA_PAUSE.  Several resumes before the network thread takes the
 * first count as one.
 * Threads: any, also while the network thread is inside on_data.
 * Blocks: no; posts a command.
 */
HY_API uint32_t hy_request_resume_read(hy_request *request);

/*
 * hy_request_upload_write: one piece of a streamed body (HY_BODY_STREAM);
 * `is_final` is 1 for the last piece, with or without data.
 * Owns: `data` (null when `len` is 0) is copied into the request's upload
 * queue before the call returns; the caller may reuse it at once.
 * Threads: any; two writers at once are both accepted.
 * Blocks: yes, on a thread other than the network thread: after queueing,
 * while more than the queue's limit is unsent, it waits until the network
 * thread has sent enough or the request ended.  On the network thread (a
 * callback writing) it queues and returns without waiting.
 */
HY_API uint32_t hy_request_upload_write(hy_request *request, const uint8_t *data, uint64_t len,
                                        uint32_t is_final);

/*
 * hy_request_upload_push: queues one piece like hy_request_upload_write,
 * with the same arguments and results, but never waits for room; a writer
 * that must not block for long pairs it with hy_request_upload_wait.
 * Owns: as hy_request_upload_write.
 * Threads: any.  Blocks: no.
 */
typedef uint32_t (*hy_request_upload_push_fn)(hy_request *, const uint8_t *, uint64_t, uint32_t);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_upload_push(hy_request *request, const uint8_t *data, uint64_t len,
                                       uint32_t is_final);
#endif

/*
 * hy_request_upload_wait: the wait of hy_request_upload_write, for at most
 * `timeout_ms` milliseconds.  *held is 1 when the time ran out while the
 * queue still holds writers (the result is then HY_OK), else 0; the result
 * is HY_OK once there is room (or nothing to wait for), or what a write's
 * wait gives when the request ended (HY_TIMEOUT for a request that timed
 * out, hence the separate *held).  A wait that
 * found the queue over its limit keeps later waits going until at most
 * half the limit is unsent, so a writer waiting in slices is held exactly
 * as by one hy_request_upload_write.  2^40 or more waits without end.
 * Results: HY_INVALID_ARGUMENT for a null `held`; HY_INVALID_STATE for a
 * request without a streamed body or not started.
 * Owns: *held is the caller's, written before the call returns.
 * Threads: any; on the network thread it returns HY_OK at once.
 * Blocks: yes, up to `timeout_ms`, on a thread other than the network
 * thread.
 */
typedef uint32_t (*hy_request_upload_wait_fn)(hy_request *, uint64_t, uint32_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_upload_wait(hy_request *request, uint64_t timeout_ms, uint32_t *held);
#endif

/*
 * Caller-driven waits.  A thread about to wait for a request or a WebSocket
 * may run the engine's network loop itself instead of sleeping while the
 * network thread does: the answer then costs no thread crossing.  One
 * thread runs an engine's loop at a time; a caller that finds another
 * thread running it waits until that thread's callbacks make its condition
 * true, or until the loop is handed to it when the runner leaves.  The
 * network thread runs the loop only while no caller does and a transfer
 * needs progress, so a request whose caller stopped waiting goes on.
 *
 * hy_wait_condition: the caller's condition, nonzero once its wait is
 * over.  It is called on the waiting thread or on the thread running the
 * loop, with a Core lock held: it may take the caller's own locks (the
 * ones its callbacks take) but must not call any hy_* function.
 */
typedef int32_t (*hy_wait_condition)(void *context);

/*
 * hy_request_start_driven: hy_request_start for a caller that calls
 * hy_request_drive next.  When no thread runs the loop, the network thread
 * is not woken for the start: the caller's drive sends the request.  A
 * request started so and never driven waits until another thread runs the
 * loop (another caller's drive, another request's start).
 * Results, threads: as hy_request_start.  Blocks: no.
 */
typedef uint32_t (*hy_request_start_driven_fn)(hy_request *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_start_driven(hy_request *request);
#endif

/*
 * hy_request_drive: runs the engine's network loop on the calling thread
 * (or waits while another thread runs it) until `until(context)` answers
 * nonzero or `timeout_ms` milliseconds passed; the caller then looks at its
 * condition again.  The request's callbacks, and those of every other
 * request and WebSocket of the engine (or of its profile namespace), may
 * run on the calling thread meanwhile, with no Core lock held, exactly as
 * on the network thread.  A signal that interrupts the loop's poll ends
 * the call early.
 * Results: HY_OK (the condition holds or the time ran out);
 * HY_INVALID_ARGUMENT for a null `until`; HY_INVALID_STATE before the
 * start, and on a thread that runs a loop itself (inside a callback), where
 * the wait would wait for itself.
 * Threads: any, any number at once.  Blocks: yes, up to `timeout_ms`.
 */
typedef uint32_t (*hy_request_drive_fn)(hy_request *, uint64_t, hy_wait_condition, void *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_drive(hy_request *request, uint64_t timeout_ms, hy_wait_condition until,
                                 void *context);
#endif

/*
 * hy_request_follow_redirect: in HY_REDIRECT_MANUAL mode, goes on with the
 * hop that the last on_redirect reported.
 * Threads: any, also from inside on_redirect.  Blocks: no; posts a command.
 */
HY_API uint32_t hy_request_follow_redirect(hy_request *request);

/*
 * hy_request_record_sent_heads: asks the Core to keep a copy of every
 * request head it puts on the wire for this request (each hop's, a proxy
 * CONNECT included), for hy_request_sent_heads.  Without this call the
 * Core keeps none and costs nothing.
 * Threads: any, before hy_request_start (HY_INVALID_STATE after).
 * Blocks: no.
 */
typedef uint32_t (*hy_request_record_sent_heads_fn)(hy_request *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_record_sent_heads(hy_request *request);
#endif

/*
 * hy_request_sent_heads: copies the heads sent so far, one after another
 * as they went out, each ending in its empty line.
 * Owns: `buffer` is the caller's: up to `capacity` bytes are written to it
 * (null with `capacity` 0 asks only for the length).  *len receives the
 * length of everything kept; when it is over `capacity`, only the first
 * `capacity` bytes were copied, and a larger buffer gets the rest.
 * Threads: any, until hy_request_release; also while the request runs
 * (the heads of later hops are appended as they are sent).
 * Blocks: only on a lock the network thread holds while it appends a head.
 */
typedef uint32_t (*hy_request_sent_heads_fn)(hy_request *, uint8_t *, uint64_t, uint64_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_sent_heads(hy_request *request, uint8_t *buffer, uint64_t capacity,
                                      uint64_t *len);
#endif

/*
 * hy_request_set_upload_length: declares the length of a streamed body
 * (HY_BODY_STREAM): it goes out with Content-Length: `length` instead of
 * chunked.  The writers are held to it: a piece that would pass it, or a
 * final piece that leaves it short, is refused with HY_INVALID_ARGUMENT
 * and the request ends with HY_INVALID_ARGUMENT and net error -14, so the
 * server never sees a truncated or padded body.
 * Threads: any, before hy_request_start (HY_INVALID_STATE after, and for a
 * request whose body is not streamed).  Blocks: no.
 */
typedef uint32_t (*hy_request_set_upload_length_fn)(hy_request *, uint64_t);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_set_upload_length(hy_request *request, uint64_t length);
#endif

/*
 * hy_request_set_max_redirects: how many redirects the request may follow
 * (20 without this call); one more fails with HY_REDIRECT, net error -310.
 * Threads: any, before hy_request_start (HY_INVALID_STATE after).
 * Blocks: no.
 */
typedef uint32_t (*hy_request_set_max_redirects_fn)(hy_request *, uint32_t);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_set_max_redirects(hy_request *request, uint32_t limit);
#endif

/*
 * hy_request_from_cache: *from_cache receives 1 when the last response
 * head delivered (on_response) came from the engine's HTTP cache (a fresh
 * entry, or one a 304 confirmed), else 0.
 * Threads: any, until hy_request_release.  Blocks: no.
 */
typedef uint32_t (*hy_request_from_cache_fn)(hy_request *, uint32_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_from_cache(hy_request *request, uint32_t *from_cache);
#endif

/*
 * hy_request_set_timeouts (extension): limits on the request's phases,
 * each measured by the Core, beside RequestConfig.timeout_ms (the whole
 * request): `connect_ms` from a hop's transfer start until its connection
 * (TCP, proxy, TLS) can carry the request; `write_ms` with no body byte
 * taken by the connection while the body is sent; `read_ms` with no
 * response byte received (head or body) once the request is sent; `pool_ms`
 * waiting for a connection slot of the engine's limits.  A phase that runs
 * out ends the request with HY_TIMEOUT, net error -118 for connect and -7
 * for the others; hy_request_timeout_phase tells which.  Time the caller
 * holds the request (reading paused, a streamed body waiting for its next
 * piece, a manual redirect waiting to be followed) counts for no phase.
 * Owns: *timeouts is only read during the call.
 * Threads: any, before hy_request_start (HY_INVALID_STATE after);
 * HY_INVALID_ARGUMENT for a null or short record.  Blocks: no.
 */
typedef uint32_t (*hy_request_set_timeouts_fn)(hy_request *, const RequestTimeouts *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_set_timeouts(hy_request *request, const RequestTimeouts *timeouts);
#endif

/*
 * hy_request_timeout_phase (extension): *phase receives the
 * HY_TIMEOUT_PHASE_* that ended the request, HY_TIMEOUT_PHASE_NONE while
 * it runs and when it ended otherwise.  It is set before on_complete
 * runs, so on_complete may ask.
 * Threads: any, until hy_request_release.  Blocks: no.
 */
typedef uint32_t (*hy_request_timeout_phase_fn)(hy_request *, uint32_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_request_timeout_phase(hy_request *request, uint32_t *phase);
#endif

/*
 * hy_request_release: gives up the request handle.  A started, unfinished
 * request is cancelled and its one on_complete still comes, so the
 * callbacks' context can be freed there; a request never started reports
 * nothing.
 * Owns: `request` must not be passed to any hy_* function after this call
 * (callbacks still receive it until on_complete returns).  Null is ignored.
 * Threads: any, also from inside a callback.
 * Blocks: no; nothing waits for the network thread.
 */
HY_API void hy_request_release(hy_request *request);

/*
 * hy_websocket_create: checks and copies *config; nothing touches the
 * network before hy_websocket_start.
 * Owns: *config, its texts, protocols and headers are only read during
 * the call; the callbacks' `context` is the caller's.  On HY_OK, *out is a
 * new handle the caller owns and gives back with hy_websocket_release;
 * otherwise *out is set to null.
 * Threads: any.  Callbacks: none.  Blocks: no.
 */
HY_API uint32_t hy_websocket_create(hy_engine *engine, const WebSocketConfig *config,
                                    hy_websocket **out);

/*
 * hy_websocket_start: connects and makes the opening handshake.
 * Threads: any.  Callbacks: on_open, on_message, on_closing and finally
 * exactly one of on_close or on_error, all on the engine's network thread,
 * one at a time, with no Core lock held; the `socket` they receive stays
 * valid until the terminal callback returns.  A callback may call any
 * hy_websocket_* function.
 * Blocks: no; posts a command.
 */
HY_API uint32_t hy_websocket_start(hy_websocket *socket);

/*
 * hy_websocket_set_deflate: the permessage-deflate offer (the default is
 * the browser's).  `flags` are HY_DEFLATE_* (HY_DEFLATE_OFF alone: no
 * offer); window bits 8..15 to offer, or 0 (client: the bare parameter, as
 * browsers send it; server: none).  What the client offers for itself binds
 * it whatever the server answers.
 * Threads: any, before hy_websocket_start (HY_INVALID_STATE after);
 * HY_INVALID_ARGUMENT for unknown flags or bits.  Blocks: no.
 */
typedef uint32_t (*hy_websocket_set_deflate_fn)(hy_websocket *, uint32_t, uint32_t, uint32_t);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_set_deflate(hy_websocket *socket, uint32_t flags,
                                         uint32_t client_max_window_bits,
                                         uint32_t server_max_window_bits);
#endif

/*
 * hy_websocket_set_timeouts (extension): limits on the phases of the way to
 * an open connection, each measured by the Core, beside
 * WebSocketConfig.timeout_ms (start to on_open): `connect_ms` from
 * hy_websocket_start until the connection (TCP, proxy, TLS) stands;
 * `handshake_ms` from then until the server's whole answer head to the
 * upgrade request is read.  Nothing limits an open connection.  A phase
 * that runs out ends the connection with on_error(HY_TIMEOUT), net error
 * -118 for connect and -7 for the handshake; hy_websocket_timeout_phase
 * tells which.
 * Owns: *timeouts is only read during the call.
 * Threads: any, before hy_websocket_start (HY_INVALID_STATE after);
 * HY_INVALID_ARGUMENT for a null or short record.  Blocks: no.
 */
typedef uint32_t (*hy_websocket_set_timeouts_fn)(hy_websocket *, const WebSocketTimeouts *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_set_timeouts(hy_websocket *socket, const WebSocketTimeouts *timeouts);
#endif

/*
 * hy_websocket_timeout_phase (extension): *phase receives the
 * HY_TIMEOUT_PHASE_* (CONNECT, HANDSHAKE or TOTAL) that ended the
 * connection, HY_TIMEOUT_PHASE_NONE while it runs and when it ended
 * otherwise (the closing handshake's own bound included).  It is set
 * before on_error runs, so on_error may ask.
 * Threads: any, until hy_websocket_release.  Blocks: no.
 */
typedef uint32_t (*hy_websocket_timeout_phase_fn)(hy_websocket *, uint32_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_timeout_phase(hy_websocket *socket, uint32_t *phase);
#endif

/* hy_engine_create_with_client_certificate: why a chain or key was refused. */
enum {
    HY_CLIENT_CERT_OK = 0,
    HY_CLIENT_CERT_BAD_CHAIN = 1,       /* no PEM certificate could be read */
    HY_CLIENT_CERT_BAD_KEY = 2,         /* no PEM private key could be read */
    HY_CLIENT_CERT_WRONG_PASSWORD = 3,  /* the key is encrypted: password missing or wrong */
    HY_CLIENT_CERT_KEY_MISMATCH = 4,    /* the key is not the first certificate's */
    HY_CLIENT_CERT_SHARED = 5           /* a profile namespace was named: refused */
};

/*
 * hy_engine_create_with_client_certificate: hy_engine_create, and every TLS
 * connection of the engine (to servers and to an HTTPS proxy) presents a
 * client certificate to a server that asks for one (mutual TLS).
 * `chain`: PEM certificates, the client's own first, then its
 * intermediates.  `key`: its PEM private key (absent: read from `chain`),
 * encrypted or not; `password` decrypts it (may be absent).  Such an
 * engine keeps its connections and TLS sessions to itself: a non-empty
 * profile_namespace is refused (HY_CLIENT_CERT_SHARED).
 * Owns: copies what it keeps.  Results: as hy_engine_create, and
 * HY_INVALID_ARGUMENT with *problem (HY_CLIENT_CERT_*) for a chain or key
 * that cannot be used; *problem is HY_CLIENT_CERT_OK otherwise.
 * Threads: any.  Blocks: as hy_engine_create.
 */
typedef uint32_t (*hy_engine_create_with_client_certificate_fn)(const EngineConfig *, const uint8_t *, uint64_t,
                                                                const uint8_t *, uint64_t, const uint8_t *,
                                                                uint64_t, uint32_t *, hy_engine **);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_create_with_client_certificate(const EngineConfig *config, const uint8_t *chain,
                                                         uint64_t chain_len, const uint8_t *key, uint64_t key_len,
                                                         const uint8_t *password, uint64_t password_len,
                                                         uint32_t *problem, hy_engine **out);
#endif

/*
 * hy_websocket_drive: hy_request_drive for a WebSocket: runs the engine's
 * loop on the calling thread until `until(context)` answers nonzero or
 * `timeout_ms` passed.  Results, threads and blocking: as hy_request_drive.
 */
typedef uint32_t (*hy_websocket_drive_fn)(hy_websocket *, uint64_t, hy_wait_condition, void *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_drive(hy_websocket *socket, uint64_t timeout_ms, hy_wait_condition until,
                                   void *context);
#endif

/*
 * hy_websocket_send_driven: hy_websocket_send (same arguments, checks and
 * results), then, when no thread runs the engine's loop, one round of it
 * on the calling thread, which writes the message out there: a caller that
 * sends and then waits through hy_websocket_drive needs no other thread.
 * It never waits for the loop (a thread running it takes the message).
 * Callbacks of that round run on the calling thread, as in
 * hy_websocket_drive, so call it as that is called (not holding what a
 * callback takes).
 */
typedef uint32_t (*hy_websocket_send_driven_fn)(hy_websocket *, uint32_t, const uint8_t *, uint64_t);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_send_driven(hy_websocket *socket, uint32_t type, const uint8_t *data, uint64_t len);
#endif

/*
 * hy_websocket_take_message (extension): from inside on_message, takes
 * over the buffer that holds the message the callback was given, instead
 * of copying it: `data` (the pointer on_message received) then stays valid,
 * with the same bytes, until hy_message_release(*out), on any thread and
 * after the connection's end too.  The Core assembles the next message in
 * a new buffer.
 * Results: HY_OK with *out set; HY_INVALID_STATE (*out null) outside
 * on_message, on another thread than the callback's, for a buffer already
 * taken, or when `data` is not the pointer on_message received: the bytes
 * are then valid only during the call, as without this function.
 * HY_INVALID_ARGUMENT for a null pointer.  Threads: the callback's.
 * Blocks: no.
 */
typedef uint32_t (*hy_websocket_take_message_fn)(hy_websocket *, const uint8_t *, hy_message **);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_websocket_take_message(hy_websocket *socket, const uint8_t *data, hy_message **out);
#endif

/*
 * hy_message_release (extension): gives back a buffer taken with
 * hy_websocket_take_message; its bytes are gone after the call.  Null is
 * ignored.  Threads: any.  Blocks: no.
 */
typedef void (*hy_message_release_fn)(hy_message *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API void hy_message_release(hy_message *message);
#endif

/*
 * Loop-driven engines.  An event loop's thread (asyncio's) may run the
 * engine's network loop itself, one nonblocking round at a time, instead
 * of the network thread: it watches a descriptor and a deadline the Core
 * hands it and calls hy_engine_loop_drive when either fires.  Callbacks
 * then run on the loop's thread inside hy_engine_loop_drive, with no Core
 * lock held, exactly as on the network thread.  The engines of one profile
 * namespace share one loop, so attaching one attaches them all.
 *
 * hy_engine_loop_attach: attaches the engine's loop to the calling thread
 * and answers in `*fd` a descriptor that is readable whenever the loop
 * needs a round (a socket is ready, a command was queued).  The caller
 * watches it for reading and never reads, writes or closes it.  Attaching
 * again from the same thread counts (one detach each) and answers the same
 * descriptor.  While attached, the network thread runs the loop only when
 * the attached thread is late: a round it was asked for (its descriptor
 * readable, or its deadline passed) has not come for 50 ms (a busy or a
 * closed event loop), and then until that thread drives again.
 * Results: HY_OK; HY_INVALID_ARGUMENT for a null `fd`; HY_INVALID_STATE
 * when another thread has it attached, or on a thread that runs a loop
 * (inside a callback); HY_OUT_OF_MEMORY when no descriptor could be made.
 * Threads: any.  Blocks: no.
 */
typedef uint32_t (*hy_engine_loop_attach_fn)(hy_engine *, int32_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_loop_attach(hy_engine *engine, int32_t *fd);
#endif

/*
 * hy_engine_loop_drive: one round of the engine's loop on the attached
 * thread, without waiting: queued commands, curl's work on every ready
 * socket, finished transfers, deadlines, WebSockets, and the callbacks
 * all of that makes.  When another thread runs the loop right now (a
 * caller's drive, the network thread after a late round) nothing runs:
 * that thread hands the loop back and the descriptor turns readable.
 * `*next_ms` answers when to drive again at the latest if the descriptor
 * stays quiet: 0 for at once (work was queued during the round), at most
 * 1000.
 * Results: HY_OK; HY_INVALID_ARGUMENT for a null `next_ms`;
 * HY_INVALID_STATE when not attached to the calling thread, or inside a
 * callback.
 * Threads: the attached one.  Blocks: no.
 */
typedef uint32_t (*hy_engine_loop_drive_fn)(hy_engine *, int64_t *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_loop_drive(hy_engine *engine, int64_t *next_ms);
#endif

/*
 * hy_engine_loop_detach: ends one hy_engine_loop_attach; after the last,
 * the network thread runs the loop again (at once when work is left).  The
 * caller stops watching the descriptor first.
 * Results: HY_OK; HY_INVALID_STATE when the engine is not attached.
 * Threads: any.  Blocks: no.
 */
typedef uint32_t (*hy_engine_loop_detach_fn)(hy_engine *);
#ifndef HY_NO_EXTENSION_PROTOTYPES
HY_API uint32_t hy_engine_loop_detach(hy_engine *engine);
#endif

/*
 * hy_websocket_send: one whole message; `type` is HY_WS_TEXT or
 * HY_WS_BINARY.
 * Owns: `data` (null when `len` is 0) is copied before the call returns.
 * Threads: any, also from inside a callback.
 * Blocks: no; the message is queued whatever the socket does, and a full
 * queue is refused (HY_OUT_OF_MEMORY) rather than waited for.
 */
HY_API uint32_t hy_websocket_send(hy_websocket *socket, uint32_t type, const uint8_t *data,
                                  uint64_t len);

/*
 * hy_websocket_close: starts the closing handshake with `code` and
 * `reason` (reason_len bytes of UTF-8, not NUL-terminated).
 * Owns: `reason` is copied before the call returns.
 * Threads: any.  Blocks: no; the close frame is queued after the messages
 * already accepted.
 */
HY_API uint32_t hy_websocket_close(hy_websocket *socket, uint16_t code, const char *reason,
                                   uint64_t reason_len);

/*
 * hy_websocket_cancel: ends a running connection at once (on_error with
 * HY_CANCELED still comes, from the network thread); before start,
 * forbids the start.
 * Threads: any.  Blocks: no; posts a command.
 */
HY_API uint32_t hy_websocket_cancel(hy_websocket *socket);

/*
 * hy_websocket_release: gives up the handle.  A running connection is
 * cancelled and still reports its one terminal callback.
 * Owns: `socket` must not be passed to any hy_* function after this call
 * (callbacks still receive it until the terminal one returns).  Null is
 * ignored.
 * Threads: any, also from inside a callback.  Blocks: no.
 */
HY_API void hy_websocket_release(hy_websocket *socket);

#ifdef __cplusplus
}
#endif

/* ------------------------------------------------------- layout checks */
/* The records are read across a library boundary: a layout slip must fail
 * the build, not corrupt memory.  The offsets hold for 64-bit targets. */
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#  ifdef __cplusplus
#    define HY_LAYOUT(cond) static_assert(cond, #cond)
#  else
#    define HY_LAYOUT(cond) _Static_assert(cond, #cond)
#  endif
HY_LAYOUT(sizeof(HeaderEntry) == 32);
HY_LAYOUT(offsetof(HeaderEntry, name) == 0);
HY_LAYOUT(offsetof(HeaderEntry, name_len) == 8);
HY_LAYOUT(offsetof(HeaderEntry, value) == 16);
HY_LAYOUT(offsetof(HeaderEntry, value_len) == 24);

HY_LAYOUT(sizeof(ProtocolEntry) == 16);
HY_LAYOUT(offsetof(ProtocolEntry, text) == 0);
HY_LAYOUT(offsetof(ProtocolEntry, text_len) == 8);

HY_LAYOUT(sizeof(EngineConfig) == 152);
HY_LAYOUT(offsetof(EngineConfig, size) == 0);
HY_LAYOUT(offsetof(EngineConfig, abi) == 4);
HY_LAYOUT(offsetof(EngineConfig, user_agent) == 8);
HY_LAYOUT(offsetof(EngineConfig, user_agent_len) == 16);
HY_LAYOUT(offsetof(EngineConfig, proxy) == 24);
HY_LAYOUT(offsetof(EngineConfig, proxy_len) == 32);
HY_LAYOUT(offsetof(EngineConfig, proxy_username) == 40);
HY_LAYOUT(offsetof(EngineConfig, proxy_username_len) == 48);
HY_LAYOUT(offsetof(EngineConfig, proxy_password) == 56);
HY_LAYOUT(offsetof(EngineConfig, proxy_password_len) == 64);
HY_LAYOUT(offsetof(EngineConfig, cache_disabled) == 72);
HY_LAYOUT(offsetof(EngineConfig, accept_language) == 80);
HY_LAYOUT(offsetof(EngineConfig, accept_language_len) == 88);
HY_LAYOUT(offsetof(EngineConfig, impersonate) == 96);
HY_LAYOUT(offsetof(EngineConfig, impersonate_len) == 104);
HY_LAYOUT(offsetof(EngineConfig, profile_namespace) == 112);
HY_LAYOUT(offsetof(EngineConfig, profile_namespace_len) == 120);
HY_LAYOUT(offsetof(EngineConfig, http_version) == 128);
HY_LAYOUT(offsetof(EngineConfig, tls_verify) == 132);
HY_LAYOUT(offsetof(EngineConfig, ca_bundle) == 136);
HY_LAYOUT(offsetof(EngineConfig, ca_bundle_len) == 144);

HY_LAYOUT(sizeof(RequestCallbacks) == 48);
HY_LAYOUT(offsetof(RequestCallbacks, size) == 0);
HY_LAYOUT(offsetof(RequestCallbacks, abi) == 4);
HY_LAYOUT(offsetof(RequestCallbacks, context) == 8);
HY_LAYOUT(offsetof(RequestCallbacks, on_response) == 16);
HY_LAYOUT(offsetof(RequestCallbacks, on_data) == 24);
HY_LAYOUT(offsetof(RequestCallbacks, on_complete) == 32);
HY_LAYOUT(offsetof(RequestCallbacks, on_redirect) == 40);

HY_LAYOUT(sizeof(RequestConfig) == 144);
HY_LAYOUT(offsetof(RequestConfig, size) == 0);
HY_LAYOUT(offsetof(RequestConfig, abi) == 4);
HY_LAYOUT(offsetof(RequestConfig, url) == 8);
HY_LAYOUT(offsetof(RequestConfig, url_len) == 16);
HY_LAYOUT(offsetof(RequestConfig, method) == 24);
HY_LAYOUT(offsetof(RequestConfig, method_len) == 32);
HY_LAYOUT(offsetof(RequestConfig, headers) == 40);
HY_LAYOUT(offsetof(RequestConfig, header_count) == 48);
HY_LAYOUT(offsetof(RequestConfig, timeout_ms) == 56);
HY_LAYOUT(offsetof(RequestConfig, callbacks) == 64);
HY_LAYOUT(offsetof(RequestConfig, body) == 112);
HY_LAYOUT(offsetof(RequestConfig, body_len) == 120);
HY_LAYOUT(offsetof(RequestConfig, body_kind) == 128);
HY_LAYOUT(offsetof(RequestConfig, cache_mode) == 132);
HY_LAYOUT(offsetof(RequestConfig, redirect_mode) == 136);
HY_LAYOUT(offsetof(RequestConfig, priority) == 140);

HY_LAYOUT(sizeof(RequestTimeouts) == 40);
HY_LAYOUT(offsetof(RequestTimeouts, connect_ms) == 8);
HY_LAYOUT(offsetof(RequestTimeouts, read_ms) == 16);
HY_LAYOUT(offsetof(RequestTimeouts, write_ms) == 24);
HY_LAYOUT(offsetof(RequestTimeouts, pool_ms) == 32);

HY_LAYOUT(sizeof(WebSocketCallbacks) == 56);
HY_LAYOUT(offsetof(WebSocketCallbacks, size) == 0);
HY_LAYOUT(offsetof(WebSocketCallbacks, abi) == 4);
HY_LAYOUT(offsetof(WebSocketCallbacks, context) == 8);
HY_LAYOUT(offsetof(WebSocketCallbacks, on_open) == 16);
HY_LAYOUT(offsetof(WebSocketCallbacks, on_message) == 24);
HY_LAYOUT(offsetof(WebSocketCallbacks, on_closing) == 32);
HY_LAYOUT(offsetof(WebSocketCallbacks, on_close) == 40);
HY_LAYOUT(offsetof(WebSocketCallbacks, on_error) == 48);

HY_LAYOUT(sizeof(WebSocketConfig) == 136);
HY_LAYOUT(offsetof(WebSocketConfig, size) == 0);
HY_LAYOUT(offsetof(WebSocketConfig, abi) == 4);
HY_LAYOUT(offsetof(WebSocketConfig, url) == 8);
HY_LAYOUT(offsetof(WebSocketConfig, url_len) == 16);
HY_LAYOUT(offsetof(WebSocketConfig, origin) == 24);
HY_LAYOUT(offsetof(WebSocketConfig, origin_len) == 32);
HY_LAYOUT(offsetof(WebSocketConfig, protocols) == 40);
HY_LAYOUT(offsetof(WebSocketConfig, protocol_count) == 48);
HY_LAYOUT(offsetof(WebSocketConfig, headers) == 56);
HY_LAYOUT(offsetof(WebSocketConfig, header_count) == 64);
HY_LAYOUT(offsetof(WebSocketConfig, callbacks) == 72);
HY_LAYOUT(offsetof(WebSocketConfig, timeout_ms) == 128);

HY_LAYOUT(sizeof(WebSocketTimeouts) == 24);
HY_LAYOUT(offsetof(WebSocketTimeouts, connect_ms) == 8);
HY_LAYOUT(offsetof(WebSocketTimeouts, handshake_ms) == 16);
#  undef HY_LAYOUT
#endif

#endif /* HALYARD_H */
