// An application in C++ of the installed library, built through its CMake
// package. The build passes in the version the package reported, and the
// header must say the same; then it runs a few calls of each family.
#include <cstdio>
#include <cstring>
#include <string>

#include "tembrix.h"

static_assert(noexcept(hstrput("")), "the interface is declared noexcept for C++");

namespace {

int failed = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failed;
    }
}

}  // namespace

int main() {
    const std::string header_version = std::to_string(TEMBRIX_VERSION_MAJOR) + "." +
                                       std::to_string(TEMBRIX_VERSION_MINOR) + "." +
                                       std::to_string(TEMBRIX_VERSION_PATCH);
    expect(header_version == TEMBRIX_VERSION_STRING, "version macros agree");
    expect(header_version == PACKAGE_VERSION, "header version is the package's");

    // A string longer than one chunk: stored in pieces, read back whole.
    std::string text(100, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    const StringHandle h = ZmsPut(text.data(), static_cast<uint16_t>(text.size()));
    char buffer[128] = {};
    expect(h != 0, "ZmsPut stores 100 bytes");
    expect(ZmsLen(h) == text.size(), "ZmsLen gives them back");
    expect(ZmsGet(h, buffer, sizeof buffer) == text.size() &&
               std::memcmp(buffer, text.data(), text.size()) == 0,
           "ZmsGet copies them out");
    expect(ZmsPtr(h) == nullptr, "no pointer in place to a string of several chunks");
    const StringHandle dup = ZmsDup(h);
    ZmsFree(h);
    expect(ZmsCmp(dup, text.data(), static_cast<uint16_t>(text.size())) == 0,
           "the duplicate outlives the original");
    ZmsFree(dup);

    const StringHandle t = hstrput("short text");
    expect(t != 0 && std::strcmp(hstrptr(t), "short text") == 0, "hstrptr reads in place");
    hstrfree(t);

    void* block = ZmdAlloc(0x40, 16);
    expect(block != nullptr && static_cast<unsigned char*>(block)[15] == 0, "ZmdAlloc zero-fills");
    expect(ZmdFree(block) == nullptr, "ZmdFree frees");

    std::printf("tembrix %s: %s\n", TEMBRIX_VERSION_STRING, failed ? "FAILED" : "ok");
    return failed;
}
