// Defined in the program itself, this getaddrinfo comes before the C library's in the lookup of
// every shared library, so libcurl's resolver thread calls it.

#include "support/HangingLookup.h"

#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char* __restrict name, const char* __restrict service,
                           const struct addrinfo* __restrict hints,
                           struct addrinfo** __restrict result) {
    if (name != nullptr && std::strcmp(name, kHangingHost) == 0) {
        ::sleep(3600);
        return EAI_AGAIN;
    }
    using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return next != nullptr ? next(name, service, hints, result) : EAI_SYSTEM;
}
