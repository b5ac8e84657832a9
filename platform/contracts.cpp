#include "platform/contracts.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void ContractBroken(const char* function, const char* contract) {
    std::fprintf(stderr, "Contract broken in %s: %s\n", function, contract);
    std::fflush(stderr);
    std::abort();
}

}  // namespace platform
