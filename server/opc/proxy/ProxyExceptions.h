/* Forced into the generated proxy sources, which are compiled by clang for
 * its structured exception handling: a call that fails on the wire (the peer
 * died, a reply does not unmarshal) then comes back as an HRESULT instead of
 * ending the caller.  On this target GetExceptionCode() reads 0 inside the
 * __except block, so the filter stores the code in the proxy's own frame
 * (the 'code' member that widl declares for this purpose) and
 * RpcExceptionCode() reads it from there. */
#pragma once
#include <rpc.h>

#undef RpcExcept
#define RpcExcept(expr) \
    }                   \
    __except ((__frame->code = GetExceptionCode()), (expr)) {
#undef RpcExceptionCode
#define RpcExceptionCode() (__frame->code)
