// A transfer address as it comes from the command line, the registry or a patch list.
#include <string>

#include "FuzzSupport.h"
#include "patch/TransferAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string address(reinterpret_cast<const char *>(data), size);
    ZelkAddress parts;
    if (ParseAddress(address, parts) != ZELKRESULT_OK)
        return 0;
    fuzz::Check(!parts.host.empty(), "an address without a host was accepted");
    fuzz::Check(parts.port >= 0 && parts.port <= 65535, "a port outside the port range was accepted:", address);
    DefaultScheme(parts);
    DefaultPort(parts);
    fuzz::Check(!parts.scheme.empty(), "no scheme after choosing one");
    fuzz::Check(parts.port > 0 && parts.port <= 65535, "no usable port after choosing one");
    return 0;
}
