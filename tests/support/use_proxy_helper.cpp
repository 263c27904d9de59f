// Points the proxy settings at the recv-html-proxy of this build: tests and benchmarks are not
// beside it, where the program looks. Compiled into each test and benchmark program that
// downloads (a static library's object that nothing calls would be left out of the link).

#include "platform/proxysettings/proxy_settings.h"

namespace {

[[maybe_unused]] const bool g_used = [] {
    proxysettings::UseHelperAt(RECVHTML_PROXY_HELPER);
    return true;
}();

}  // namespace
