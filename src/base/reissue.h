// A system call that a signal interrupted before it did anything fails with
// EINTR; it is issued again, once per interruption. Every other result,
// success, a short count or any other failure, is returned as it is: no
// call is ever repeated for any other reason.
#pragma once

#include <errno.h>

namespace krv {

template <typename Call>
inline auto reissue_on_eintr(Call call) -> decltype(call()) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace krv
