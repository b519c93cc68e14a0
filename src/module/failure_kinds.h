// The one table of failure kinds: each kind's name and its code.  The
// first fifteen are the Core's result codes (halyard.h's enum, checked
// below); the module's own kinds follow.  ErrorKind, the kind texts and the
// module's `failure_kinds` attribute (the package's names) are made from
// this list.
#pragma once

#include "halyard.h"

// X(name, code)
#define VESPER_FAILURE_KINDS(X)                         \
    X(InvalidArgument, HY_INVALID_ARGUMENT)             \
    X(UnsupportedAbi, HY_UNSUPPORTED_ABI)               \
    X(OutOfMemory, HY_OUT_OF_MEMORY)                    \
    X(InitializationFailed, HY_INITIALIZATION_FAILED)   \
    X(InvalidState, HY_INVALID_STATE)                   \
    X(Timeout, HY_TIMEOUT)                              \
    X(Canceled, HY_CANCELED)                            \
    X(Network, HY_NETWORK)                              \
    X(Tls, HY_TLS)                                      \
    X(Proxy, HY_PROXY)                                  \
    X(Protocol, HY_PROTOCOL)                            \
    X(Redirect, HY_REDIRECT)                            \
    X(CacheMiss, HY_CACHE_MISS)                         \
    X(ProfileConflict, HY_PROFILE_CONFLICT)             \
    X(ProfileUnsupported, HY_PROFILE_UNSUPPORTED)       \
    /* the module's own: a callback fault, a full queue, a code outside the table */ \
    X(CallbackPanic, 16)                                \
    X(BufferLimit, 17)                                  \
    X(Native, 18)
