// An application in C++ of the installed library, built through its CMake
// package. The build passes in the version the package reported, and the
// header must say the same; then it makes a few calls.
#include <cstdio>
#include <cstring>
#include <string>

#include "tembrix.h"

static_assert(noexcept(hstrput("")), "the interface is declared noexcept for C++");

int main() {
    const std::string header_version = std::to_string(TEMBRIX_VERSION_MAJOR) + "." +
                                       std::to_string(TEMBRIX_VERSION_MINOR) + "." +
                                       std::to_string(TEMBRIX_VERSION_PATCH);
    int failed = header_version != TEMBRIX_VERSION_STRING || header_version != PACKAGE_VERSION;

    const std::string text(100, 'x');
    const StringHandle h = ZmsPut(text.data(), static_cast<uint16_t>(text.size()));
    const StringHandle copy = ZmsDup(h);
    ZmsFree(h);
    failed += ZmsCmp(copy, text.data(), static_cast<uint16_t>(text.size())) != 0;
    const StringHandle t = hstrput("short text");
    failed += t == 0 || std::strcmp(hstrptr(t), "short text") != 0;
    void* block = ZmdAlloc(0x40, 16);
    failed += block == nullptr || static_cast<unsigned char*>(block)[15] != 0 || ZmdFree(block) != nullptr;

    std::printf("tembrix %s: %s\n", TEMBRIX_VERSION_STRING, failed ? "FAILED" : "ok");
    return failed;
}
